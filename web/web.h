// Web access: the metadata fetch, the image download and the extraction of
// the text between two markers. Texts are UTF-8.
#pragma once

#include <cstdint>
#include <string>

namespace pavo {

// The thread's message pump, which the fetch keeps going while it waits:
// dispatch handles every pending message and returns; wait blocks until a
// message comes or timeout_ms passes.
struct MessagePump {
  void (*dispatch)();
  void (*wait)(std::uint32_t timeout_ms);
};

// Fetches StrUrl with an HTTP GET and returns the body as text. Exactly
// "gbk" as StrBianMa decodes the raw body as GBK (the system's ANSI code
// page on Windows); anything else takes the text as the transfer declares
// it (UTF-8 unless the response names another character set). Every failure,
// and an answer not complete after more than 10 whole seconds, gives "".
// The thread's pending messages are dispatched through pump while it waits.
std::string GetData(const std::string& StrUrl, const std::string& StrBianMa, const MessagePump& pump) noexcept;

// Bounds of one download. A transfer that breaks one of them is abandoned and
// leaves no file.
struct DownloadLimits {
  int no_progress_seconds = 30;           // nothing received for this long
  int total_seconds = 300;                // not finished after this long
  std::uint64_t max_bytes = 64ull << 20;  // body longer than this
};

// Downloads address with an HTTP GET into a file beside target, and gives it
// the name target only when keep(that file's path) says it is what the
// caller wants, and only while nothing has that name yet; otherwise nothing
// stays. Reports nothing; the caller judges the outcome by target alone. The
// thread's pending messages may be dispatched through pump while it waits.
void DownloadFile(const std::string& address, const std::string& target, bool (*keep)(const std::string& file),
                  const MessagePump& pump, const DownloadLimits& limits = {}) noexcept;

// The text between the first start marker and the first end marker after
// it, markers found without regard to letter case; "" when a marker is
// absent. Throws pavo::Failure when the end marker occurs only before (or
// overlapping) the start marker.
std::string GetContent(const std::string& str, const std::string& start, const std::string& last);

}  // namespace pavo
