// What the two transfers of web.h share between their platform versions, and
// the download with its limits spelled out, so the limits can be tested
// without waiting minutes.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

#include "sys/text.h"
#include "web/web.h"

namespace pavo::web {

// The browser identification the metadata request carries.
inline constexpr const char kUserAgent[] =
    "Mozilla/5.0 (Windows NT 6.1; WOW64; Trident/7.0; rv:11.0) like Gecko";

// An answer to the metadata request longer than this is no answer.
inline constexpr std::uint64_t kMaxTextBytes = 4u << 20;

// The whole-second time-out of the metadata request: more than this many
// whole seconds since the request went out.
inline constexpr int kTextTimeoutSeconds = 10;

// The whole second of the steady clock a moment falls in; the time-out is
// counted in these, on both platforms.
inline long long WholeSeconds(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

// The fetch's wait for its answer, turn after turn until complete() says the
// answer is all there: it dispatches the thread's pending messages, gives up
// (false) once more than kTextTimeoutSeconds whole seconds have passed since
// the request went out, and sleeps in sleep(ms) until the transfer or a
// message may move on, never past the next whole second, the only moments at
// which the time-out can come.
template <class Complete, class Sleep>
bool AwaitAnswer(const MessagePump& pump, Complete complete, Sleep sleep) {
  using Clock = std::chrono::steady_clock;
  const long long start = WholeSeconds(Clock::now());
  for (;;) {
    if (complete()) return true;
    pump.dispatch();
    if (WholeSeconds(Clock::now()) - start > kTextTimeoutSeconds) return false;
    // The answer may have come while the messages were dispatched; then
    // there is nothing to wait for.
    if (complete()) return true;
    const auto since = Clock::now().time_since_epoch();
    const auto next = std::chrono::duration_cast<std::chrono::seconds>(since) + std::chrono::seconds(1);
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - since).count();
    sleep(static_cast<std::uint32_t>(std::clamp<long long>(ms, 1, 1000)));
  }
}

// Bounds of one download. A transfer that breaks one of them is abandoned and
// leaves no file.
struct DownloadLimits {
  int no_progress_seconds = 30;              // nothing received for this long
  int total_seconds = 300;                   // not finished after this long
  std::uint64_t max_bytes = 64ull << 20;     // body longer than this
};

// The platform's transfers, which throw pavo::Failure on any failure (the
// time-out included): the metadata fetch (the body as text) and the download
// into target. They are only ever handed a web address and, for the
// download, a target.
std::string Fetch(const std::string& url, const std::string& selector, const MessagePump& pump);
void Download(const std::string& address, const std::string& target, const DownloadLimits& limits);

// DownloadFile with explicit limits; DownloadFile uses the defaults.
void DownloadFileWithin(const std::string& address, const std::string& target,
                        const DownloadLimits& limits) noexcept;

// Only http and https addresses are ever fetched: anything else (a file path,
// another scheme, an address without a scheme, "") is refused by GetData and
// DownloadFile before any platform call sees it.
inline bool IsWebAddress(const std::string& url) {
  auto starts = [&](const char* scheme) {
    std::size_t i = 0;
    for (; scheme[i]; ++i)
      if (i >= url.size() || sys::AsciiLower(url[i]) != scheme[i]) return false;
    return url.size() > i;  // something after "//"
  };
  return starts("http://") || starts("https://");
}

}  // namespace pavo::web
