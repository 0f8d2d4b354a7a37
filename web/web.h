// Web access: the metadata fetch, the image download and the extraction of
// the text between two markers. Texts are UTF-8.
#pragma once

#include <string>

namespace pavo {

// Fetches StrUrl with an HTTP GET and returns the body as text. Exactly
// "gbk" as StrBianMa decodes the raw body as GBK (the system's ANSI code
// page on Windows); anything else takes the text as the transfer declares
// it (UTF-8 unless the response names another character set). Every failure,
// and an answer not complete after more than 10 whole seconds, gives "".
// Pending window messages are dispatched while it waits.
std::string GetData(const std::string& StrUrl, const std::string& StrBianMa) noexcept;

// Downloads address into the file target with a blocking HTTP GET. Reports
// nothing; the caller judges the outcome by the file alone.
void DownloadFile(const std::string& address, const std::string& target) noexcept;

// The text between the first start marker and the first end marker after
// it, markers found without regard to letter case; "" when a marker is
// absent. Throws pavo::Failure when the end marker occurs only before (or
// overlapping) the start marker.
std::string GetContent(const std::string& str, const std::string& start, const std::string& last);

}  // namespace pavo
