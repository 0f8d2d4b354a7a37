#include "sys/charset_linux.h"
#include "sys/encoding.h"

#include <iconv.h>

#include <cerrno>

#include "sys/failure.h"
#include "sys/owned.h"

namespace pavo::charset {

std::optional<std::string> Convert(std::string_view in, const char* to, const char* from,
                                   const char* replacement) {
  const iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw Failure(std::string("no converter from ") + from + " to " + to);
  const sys::Owned<iconv_t, iconv_close> converter(cd);

  std::string out;
  out.reserve(in.size() + in.size() / 2);
  char buf[4096];
  char* src = const_cast<char*>(in.data());
  std::size_t left = in.size();
  auto take = [&](char* dst) { out.append(buf, static_cast<std::size_t>(dst - buf)); };
  while (left > 0) {
    char* dst = buf;
    std::size_t room = sizeof buf;
    const std::size_t r = iconv(cd, &src, &left, &dst, &room);
    take(dst);
    if (r != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
    if (!replacement) return std::nullopt;
    out += replacement;
    if (errno == EINVAL) break;  // a character cut short at the end
    ++src;                       // EILSEQ: past the byte that cannot be read
    --left;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  // The closing shift sequence of a stateful character set.
  char* dst = buf;
  std::size_t room = sizeof buf;
  iconv(cd, nullptr, nullptr, &dst, &room);
  take(dst);
  return out;
}

}  // namespace pavo::charset

namespace pavo::encoding {

std::string GbkToUtf8(std::string_view gbk) { return *charset::Convert(gbk, "UTF-8", "GBK", "\xEF\xBF\xBD"); }

std::optional<std::string> Utf8ToGbk(std::string_view utf8) { return charset::Convert(utf8, "GBK", "UTF-8", nullptr); }

}  // namespace pavo::encoding
