// The extraction between two markers on any text and markers: the input is
// split at its first two NUL bytes into the text and the two markers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sys/failure.h"
#include "web/web.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  const std::size_t a = in.find('\0');
  const std::size_t b = a == std::string::npos ? a : in.find('\0', a + 1);
  if (b == std::string::npos) return 0;
  const std::string text = in.substr(0, a), start = in.substr(a + 1, b - a - 1), last = in.substr(b + 1);
  try {
    const std::string got = pavo::GetContent(text, start, last);
    // What comes back stands in the text, right after a start marker and
    // right before an end marker (checked for ASCII, where no byte becomes
    // a replacement character and letter case is ASCII's).
    const auto ascii = [](const std::string& s) {
      for (char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
      }
      return true;
    };
    if (!got.empty() && ascii(in)) {
      const std::string low = Lower(text);
      const std::size_t at = low.find(Lower(start) + Lower(got) + Lower(last));
      if (at == std::string::npos) std::abort();
    }
  } catch (const pavo::Failure&) {
  }
  return 0;
}
