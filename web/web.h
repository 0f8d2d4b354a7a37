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

// Downloads address into the file target with a blocking HTTP GET. Reports
// nothing; the caller judges the outcome by the file alone.
void DownloadFile(const std::string& address, const std::string& target) noexcept;

// The text between the first start marker and the first end marker after
// it, markers found without regard to letter case; "" when a marker is
// absent. Throws pavo::Failure when the end marker occurs only before (or
// overlapping) the start marker.
std::string GetContent(const std::string& str, const std::string& start, const std::string& last);

}  // namespace pavo
