// What the two transfers of web.h share between their platform versions.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

#include "sys/failure.h"
#include "sys/pending_file.h"
#include "sys/text.h"
#include "web/web.h"

namespace pavo::web {

// The browser identification both requests carry.
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

// The platform's transfers, which throw pavo::Failure on any failure (the
// time-out included): the metadata fetch (the body as text) and the download,
// which judges the body with keep in its pending file and gives it its final
// name target only then. They are only ever handed a web address and, for
// the download, a target.
std::string Fetch(const std::string& url, const std::string& selector, const MessagePump& pump);
void Download(const std::string& address, const std::string& target, bool (*keep)(const std::string& file),
              const MessagePump& pump, const DownloadLimits& limits);

// The charset parameter of a Content-Type value, "" when there is none.
inline std::string CharsetOf(const std::string& content_type) {
  const auto at = sys::AsciiLower(content_type).find("charset=");
  if (at == std::string::npos) return "";
  std::string cs = content_type.substr(at + 8);
  cs = cs.substr(0, cs.find_first_of(";, \t"));
  if (cs.size() >= 2 && cs.front() == '"' && cs.back() == '"') cs = cs.substr(1, cs.size() - 2);
  return cs;
}

// Whether a character set's name, "" included, means UTF-8.
inline bool IsUtf8Name(const std::string& charset) {
  const std::string l = sys::AsciiLower(charset);
  return l.empty() || l == "utf-8" || l == "utf8";
}

// A body in UTF-8 as text: each byte that starts no character becomes
// U+FFFD; a byte-order mark is no part of the text.
inline std::string Utf8Text(std::string_view body) {
  return sys::ValidUtf8(body.substr(sys::SniffBom(body) == sys::Bom::kUtf8 ? 3 : 0));
}

// The end of a download whose body is all in file: judged by keep under its
// pending name, and given its final name only when it passes and while
// nothing has that name yet (a second copy never replaces what another has
// kept). A file that fails goes with file, under its pending name.
inline void KeepIfWanted(sys::PendingFile& file, bool (*keep)(const std::string& file)) {
  // Read by name while still held: a copy's clean-up cannot take it meanwhile.
  if (!keep(file.Path())) throw Failure("the download is not what was wanted");
  file.CommitNew();
}

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
