// The extraction between two markers on any text and markers: the input split at its first two NUL bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sys/failure.h"
#include "sys/text.h"
#include "web/web.h"

using pavo::sys::AsciiLower;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  const std::size_t a = in.find('\0');
  const std::size_t b = a == std::string::npos ? a : in.find('\0', a + 1);
  if (b == std::string::npos) return 0;
  const std::string text = in.substr(0, a), start = in.substr(a + 1, b - a - 1), last = in.substr(b + 1);
  std::string got;
  try {
    got = pavo::GetContent(text, start, last);
  } catch (const pavo::Failure&) {
    return 0;
  }
  // In ASCII (where no byte becomes a replacement character) what comes back stands in the text
  // right after a start marker and right before an end marker, letter case aside.
  const bool ascii = std::none_of(in.begin(), in.end(), [](char c) { return c & 0x80; });
  if (ascii && !got.empty() && AsciiLower(text).find(AsciiLower(start + got + last)) == std::string::npos) std::abort();
  return 0;
}
