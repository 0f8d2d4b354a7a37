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

namespace web {
void DownloadFileWithin(const std::string& address, const std::string& target,
                        const DownloadLimits& limits) noexcept {
  if (!IsWebAddress(address) || target.empty()) return;
  try {
    Download(address, target, limits);
  } catch (...) {
  }
}
}  // namespace web

void DownloadFile(const std::string& address, const std::string& target) noexcept {
  web::DownloadFileWithin(address, target, web::DownloadLimits{});
}

}  // namespace pavo
