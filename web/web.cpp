// The web operations as the run sees them: every failure of the platform's
// transfer stays inside, as "" for the fetch and as no file for the download,
// and no address but a web address ever reaches the platform.
#include "web/transfer.h"
#include "web/web.h"

namespace pavo {

std::string GetData(const std::string& StrUrl, const std::string& StrBianMa, const MessagePump& pump) noexcept {
  if (!web::IsWebAddress(StrUrl)) return "";
  try {
    return web::Fetch(StrUrl, StrBianMa, pump);
  } catch (...) {
    return "";
  }
}

void DownloadFile(const std::string& address, const std::string& target, bool (*keep)(const std::string& file),
                  const MessagePump& pump, const DownloadLimits& limits) noexcept {
  if (!web::IsWebAddress(address) || target.empty()) return;
  try {
    web::Download(address, target, keep, pump, limits);
  } catch (...) {
  }
}

}  // namespace pavo
