// Conversion between character sets on Windows, through the system's own
// functions: the ANSI code page, the settings file's GBK and the character
// set an answer declares.
#include <windows.h>

#include <algorithm>
#include <string_view>

#include "sys/encoding.h"
#include "sys/scoped_win32.h"
#include "sys/text_win32.h"

namespace pavo::win32 {

namespace {

constexpr UINT kGbk = 936;

std::wstring Widen(UINT cp, std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(cp, 0, text.data(), size, nullptr, 0);
  if (n <= 0) ThrowLastError("MultiByteToWideChar");
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(cp, 0, text.data(), size, out.data(), n);
  return out;
}

std::string Narrow(UINT cp, const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(cp, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) ThrowLastError("WideCharToMultiByte");
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(cp, 0, wide.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

std::string Ansi(const std::string& utf8) { return Narrow(CP_ACP, Wide(utf8)); }

std::string FromAnsi(const std::string& ansi) { return FromCodePage(CP_ACP, ansi); }

std::string FromCodePage(unsigned code_page, std::string_view bytes) { return Utf8(Widen(code_page, bytes)); }

bool FitsAnsi(const std::string& utf8) {
  try {
    return FromAnsi(Ansi(utf8)) == utf8;
  } catch (const Failure&) {
    return false;
  }
}

}  // namespace pavo::win32

namespace pavo::encoding {

std::string GbkToUtf8(std::string_view gbk) {
  // The code page itself would turn what it cannot read into "?", taking the
  // byte after it along: here each byte that starts no character becomes
  // U+FFFD, and the next one is read on its own.
  std::wstring wide;
  for (std::size_t at = 0; at < gbk.size();) {
    const std::size_t n = std::min(sys::CharSize(gbk, at, sys::Charset::kGbk), gbk.size() - at);
    wchar_t out[2];
    const int got =
        MultiByteToWideChar(win32::kGbk, MB_ERR_INVALID_CHARS, gbk.data() + at, static_cast<int>(n), out, 2);
    wide.append(got > 0 ? out : L"\xFFFD", got > 0 ? got : 1);
    at += got > 0 ? n : 1;
  }
  return win32::Utf8(wide);
}

std::optional<std::string> Utf8ToGbk(std::string_view utf8) {
  // A character without a GBK form comes back as another ("?", or a look-alike).
  try {
    std::string gbk = win32::Narrow(win32::kGbk, win32::Wide(utf8));
    if (GbkToUtf8(gbk) == utf8) return gbk;
  } catch (const Failure&) {
  }
  return std::nullopt;
}

}  // namespace pavo::encoding
