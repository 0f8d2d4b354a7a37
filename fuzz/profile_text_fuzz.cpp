// The settings text reader and writer, and the text conversions, on any bytes: the first byte picks the encoding
// and the length of a value to store, the rest is the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "settings/profile_text.h"

using namespace pavo;  // profile::, sys::

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool gbk = data[0] & 1;
  const auto encoding = gbk ? profile::Encoding::kGbk : profile::Encoding::kUtf8;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  // Whatever the bytes, the conversions give valid text, and UTF-8 makes the round trip through UTF-16 unchanged.
  const std::string valid = sys::ValidUtf8(text);
  if (!sys::IsUtf8(valid) || !sys::IsUtf8(sys::Utf16ToUtf8(text, data[0] & 2))) std::abort();
  if (sys::Utf16ToUtf8(sys::Utf8ToUtf16(valid)) != valid) std::abort();
  profile::EncodingOf(text);
  // The names as a file of that encoding holds them.
  const std::string url = gbk ? "\xD3\xF2\xC3\xFB" : "域名";
  const std::string delay = gbk ? "\xD1\xD3\xB3\xD9\xD4\xCB\xD0\xD0" : "延迟运行";
  const auto found = profile::FindValue(text, "Config", url, encoding);
  // A cut is a start of the value, within the limit.
  const std::size_t max = data[0] >> 1;
  const std::string value = found.value_or(text.substr(0, max * 2));
  const std::string_view cut = sys::CutAtCharacter(value, max, encoding);
  if (cut.size() > max || value.compare(0, cut.size(), cut) != 0) std::abort();
  // What is stored is what is read back, and every other key keeps its value.
  const std::string stored = "v" + std::to_string(size);
  const auto written = profile::SetValue(text, "Config", delay, stored, encoding);
  if (!written) std::abort();
  if (profile::FindValue(*written, "config", delay, encoding) != stored) std::abort();
  if (profile::FindValue(*written, "Config", url, encoding) != found) std::abort();
  return 0;
}
