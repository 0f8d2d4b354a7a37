// The metadata fetch and the image download on Linux, with libcurl.
//
// The fetch runs on the multi interface so that the thread keeps serving its
// GLib main context while it waits; the download runs on the easy interface
// and blocks. Both speak http and https only (redirects included), verify TLS,
// and bound memory, time and size.
//
// Both go through the proxy the user has set. libcurl reads only the
// environment (http_proxy, https_proxy, no_proxy), which a program started by
// the desktop does not get when the proxy is set in the desktop's own
// settings; GIO's proxy resolver reads those settings (GNOME's, through
// glib-networking) and the environment elsewhere, so each request asks it
// first.
//
// libcurl is loaded for the transfers alone, not at start: with its TLS
// libraries and theirs it is some thirty libraries, which a start on a day
// already done would load for nothing, and which the conversion after the
// download need not carry. A system without it fails the transfers as any
// network failure does.
#include <curl/curl.h>
#include <gio/gio.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include "sys/charset_linux.h"
#include "sys/failure.h"
#include "sys/glib_wait_linux.h"
#include "sys/module_linux.h"
#include "sys/owned.h"
#include "sys/pending_file.h"
#include "sys/scoped_glib_linux.h"
#include "sys/text.h"
#include "web/transfer.h"
#include "web/web.h"

namespace pavo {

namespace {

constexpr long kMaxRedirects = 10;
// Between two turns of the fetch's wait: short enough that the GLib main
// context is served promptly, long enough that waiting costs no CPU.
constexpr int kTurnMs = 100;

// ---- libcurl, while a transfer runs ---------------------------------------

// The library's functions the transfers call, by the names of its interface.
#define PAVO_CURL_FUNCTION(name) decltype(&::curl_##name) name = module.Function<decltype(&::curl_##name)>("curl_" #name)

struct CurlLibrary {
  sys::Module module{"libcurl.so.4"};
  PAVO_CURL_FUNCTION(global_init);
  PAVO_CURL_FUNCTION(global_cleanup);
  PAVO_CURL_FUNCTION(easy_init);
  PAVO_CURL_FUNCTION(easy_cleanup);
  PAVO_CURL_FUNCTION(easy_setopt);
  PAVO_CURL_FUNCTION(easy_getinfo);
  PAVO_CURL_FUNCTION(easy_perform);
  PAVO_CURL_FUNCTION(easy_strerror);
  PAVO_CURL_FUNCTION(slist_append);
  PAVO_CURL_FUNCTION(slist_free_all);
  PAVO_CURL_FUNCTION(multi_init);
  PAVO_CURL_FUNCTION(multi_cleanup);
  PAVO_CURL_FUNCTION(multi_add_handle);
  PAVO_CURL_FUNCTION(multi_remove_handle);
  PAVO_CURL_FUNCTION(multi_perform);
  PAVO_CURL_FUNCTION(multi_info_read);
  PAVO_CURL_FUNCTION(multi_poll);

  CurlLibrary() {
    if (global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw Failure("curl_global_init");
  }
  ~CurlLibrary() { global_cleanup(); }
};

#undef PAVO_CURL_FUNCTION

std::mutex g_curl_mutex;
std::optional<CurlLibrary> g_curl;
int g_curl_users = 0;

// libcurl while a transfer holds it. The first transfer loads it; it stays
// for the next, since the run's fetch is followed by its download at once.
// The end of a download, after which the run converts the picture and needs
// no network, unloads it with everything it brought along that nothing else
// holds, once no other transfer is under way. libcurl waits for its own
// threads (name lookups) in its cleanup, so none runs on in unloaded code.
class CurlUse {
 public:
  enum After { kKeep, kUnload };
  explicit CurlUse(After after) : after_(after) {
    std::lock_guard<std::mutex> lock(g_curl_mutex);
    if (!g_curl) g_curl.emplace();
    ++g_curl_users;
  }
  ~CurlUse() {
    std::lock_guard<std::mutex> lock(g_curl_mutex);
    if (--g_curl_users == 0 && after_ == kUnload) g_curl.reset();
  }
  CurlUse(const CurlUse&) = delete;
  CurlUse& operator=(const CurlUse&) = delete;

 private:
  After after_;
};

// The loaded library; only while a CurlUse is held.
const CurlLibrary& Curl() { return *g_curl; }

void EasyCleanup(CURL* c) { Curl().easy_cleanup(c); }
void SlistFreeAll(curl_slist* l) { Curl().slist_free_all(l); }

using Easy = sys::Owned<CURL*, EasyCleanup>;
using Slist = sys::Owned<curl_slist*, SlistFreeAll>;

void Set(CURLcode rc) {
  if (rc != CURLE_OK) throw Failure(std::string("curl option: ") + Curl().easy_strerror(rc));
}

// ---- the user's proxy ----------------------------------------------------

// How long the proxy resolver may take. Its answer normally comes from
// settings already in memory; a resolver that has to fetch and run an
// automatic configuration script and does not manage it in this time is not
// waited for.
constexpr unsigned kProxyLookupMs = 2000;

// The proxy URL libcurl takes for one proxy of the resolver's list, "" for a
// kind it cannot use. GIO's "socks" means any SOCKS version; version 5 with
// the name resolved by the proxy is what the desktop's own programs try
// first.
std::string CurlProxy(const std::string& uri) {
  const auto colon = uri.find("://");
  if (colon == std::string::npos) return "";
  const std::string scheme = sys::AsciiLower(uri.substr(0, colon));
  const std::string rest = uri.substr(colon);
  if (scheme == "http" || scheme == "https" || scheme == "socks4" || scheme == "socks4a") return scheme + rest;
  if (scheme == "socks" || scheme == "socks5") return "socks5h" + rest;
  return "";
}

// The proxy the resolver names for url; "" when it names none (direct://),
// none that libcurl can use, fails, or does not answer in time. Then libcurl
// reads the environment itself, so a proxy set there still holds where the
// desktop's settings say nothing (or no resolver module is installed, whose
// stand-in always answers direct://).
std::string UserProxy(const std::string& url) {
  GProxyResolver* resolver = g_proxy_resolver_get_default();
  const glib::Object<GAsyncResult> answer = sys::Await(
      [&](GCancellable* cancellable, GAsyncReadyCallback done, gpointer data) {
        g_proxy_resolver_lookup_async(resolver, url.c_str(), cancellable, done, data);
      },
      kProxyLookupMs);
  if (!answer) return "";
  const glib::Strv proxies(g_proxy_resolver_lookup_finish(resolver, answer.get(), nullptr));
  std::string proxy;
  for (gchar** p = proxies.get(); p && *p && proxy.empty(); ++p) {
    if (g_str_has_prefix(*p, "direct://")) break;
    proxy = CurlProxy(*p);
  }
  return proxy;
}

// What both transfers set: the address, the schemes, redirects and TLS.
void CommonOptions(CURL* c, const std::string& url) {
  Set(Curl().easy_setopt(c, CURLOPT_URL, url.c_str()));
  Set(Curl().easy_setopt(c, CURLOPT_HTTPGET, 1L));
  Set(Curl().easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https"));
  Set(Curl().easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
  Set(Curl().easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L));
  Set(Curl().easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects));
  Set(Curl().easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L));
  Set(Curl().easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L));
  Set(Curl().easy_setopt(c, CURLOPT_NOSIGNAL, 1L));
  const std::string proxy = UserProxy(url);
  if (!proxy.empty()) Set(Curl().easy_setopt(c, CURLOPT_PROXY, proxy.c_str()));
}

// ---- the fetch -----------------------------------------------------------

struct TextSink {
  std::string body;
  bool too_long = false;
};

size_t CollectText(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<TextSink*>(user);
  const size_t n = size * count;
  if (sink->body.size() + n > web::kMaxTextBytes) {
    sink->too_long = true;
    return 0;  // abandons the transfer
  }
  sink->body.append(data, n);
  return n;
}

// Decodes bytes of the given character set to UTF-8. A byte the character set
// cannot read becomes U+FFFD, as the Windows conversions do; an unknown
// character set is a failure.
std::string ToUtf8(const std::string& bytes, const std::string& charset) {
  return *charset::Convert(bytes, "UTF-8", charset.c_str(), "\xEF\xBF\xBD");
}

std::string DecodeBody(const std::string& body, const std::string& selector, const char* content_type) {
  if (selector == "gbk") return ToUtf8(body, "GBK");
  std::string cs = web::CharsetOf(content_type ? content_type : "");
  if (!web::IsUtf8Name(cs)) return ToUtf8(body, cs);
  // The text the service sends as UTF-8 (or undeclared): a byte-order mark is
  // no part of the text.
  std::string text = ToUtf8(body, "UTF-8");
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  return text;
}

struct MultiHandle {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  ~MultiHandle() {
    if (multi && easy) Curl().multi_remove_handle(multi, easy);
    if (multi) Curl().multi_cleanup(multi);
  }
};

}  // namespace

namespace web {

std::string Fetch(const std::string& url, const std::string& selector, const MessagePump& pump) {
  const CurlUse curl(CurlUse::kKeep);
  Easy easy(Curl().easy_init());
  if (!easy) throw Failure("curl_easy_init");
  CommonOptions(easy.get(), url);

  // Exactly these two headers, and no other of ours.
  curl_slist* list = nullptr;
  for (std::string h : {std::string("If-Modified-Since: 0"), std::string("User-Agent: ") + web::kUserAgent}) {
    curl_slist* l = Curl().slist_append(list, h.c_str());
    if (!l) {
      Curl().slist_free_all(list);
      throw Failure("curl_slist_append");
    }
    list = l;
  }
  Slist headers(list);
  Set(Curl().easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers.get()));

  TextSink sink;
  Set(Curl().easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, CollectText));
  Set(Curl().easy_setopt(easy.get(), CURLOPT_WRITEDATA, &sink));
  Set(Curl().easy_setopt(easy.get(), CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(web::kMaxTextBytes)));

  MultiHandle m;
  m.multi = Curl().multi_init();
  if (!m.multi) throw Failure("curl_multi_init");
  if (Curl().multi_add_handle(m.multi, easy.get()) != CURLM_OK) throw Failure("curl_multi_add_handle");
  m.easy = easy.get();

  CURLcode result = CURLE_OK;
  const auto complete = [&] {
    int running = 0;
    if (Curl().multi_perform(m.multi, &running) != CURLM_OK) throw Failure("curl_multi_perform");
    bool done = false;
    int left = 0;
    while (CURLMsg* msg = Curl().multi_info_read(m.multi, &left)) {
      if (msg->msg == CURLMSG_DONE) {
        done = true;
        result = msg->data.result;
      }
    }
    return done;
  };
  // Sleeps until the transfer can move on, or the next turn is due.
  const auto sleep = [&](std::uint32_t ms) {
    Curl().multi_poll(m.multi, nullptr, 0, static_cast<int>(std::min<std::uint32_t>(ms, kTurnMs)), nullptr);
  };
  if (!AwaitAnswer(pump, complete, sleep)) throw Failure("no answer in time");
  if (result != CURLE_OK || sink.too_long) throw Failure("the answer did not arrive whole");

  char* content_type = nullptr;
  Curl().easy_getinfo(easy.get(), CURLINFO_CONTENT_TYPE, &content_type);
  return DecodeBody(sink.body, selector, content_type);
}

}  // namespace web

namespace {

// ---- the download --------------------------------------------------------

struct FileSink {
  sys::PendingFile* file;
  std::uint64_t max_bytes;
  std::chrono::steady_clock::duration stall;
  std::uint64_t written = 0;
  std::chrono::steady_clock::time_point last_progress = std::chrono::steady_clock::now();
};

// Ends the transfer once nothing has arrived for the no-progress span. (The
// library's own low-speed limit averages over the span: a body that stops
// halfway goes on for several spans.)
int CheckProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* sink = static_cast<FileSink*>(user);
  return std::chrono::steady_clock::now() - sink->last_progress > sink->stall;
}

size_t CollectFile(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<FileSink*>(user);
  const size_t n = size * count;
  if (sink->written + n > sink->max_bytes) return 0;
  try {
    sink->file->Append(data, n);
  } catch (const Failure&) {
    return 0;  // curl then ends the transfer with a write error
  }
  sink->written += n;
  sink->last_progress = std::chrono::steady_clock::now();
  return n;
}

}  // namespace

namespace web {

void Download(const std::string& address, const std::string& target, bool (*keep)(const std::string& file),
              const MessagePump&, const DownloadLimits& limits) {
  // A target that cannot be created (missing directory, no rights) is found
  // out before anything is fetched.
  sys::PendingFile file(target);

  // The total limit counts from here: the proxy lookup is part of it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limits.total_seconds);
  const CurlUse curl(CurlUse::kUnload);
  Easy easy(Curl().easy_init());
  if (!easy) throw Failure("curl_easy_init");
  CommonOptions(easy.get(), address);
  Set(Curl().easy_setopt(easy.get(), CURLOPT_USERAGENT, web::kUserAgent));
  FileSink sink{&file, limits.max_bytes, std::chrono::seconds(limits.no_progress_seconds)};
  Set(Curl().easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, CollectFile));
  Set(Curl().easy_setopt(easy.get(), CURLOPT_WRITEDATA, &sink));
  Set(Curl().easy_setopt(easy.get(), CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.max_bytes)));
  // An error page is no image: a status of 400 or more ends the transfer
  // before its body is read (the 2xx test below catches the rest).
  Set(Curl().easy_setopt(easy.get(), CURLOPT_FAILONERROR, 1L));
  // No progress: nothing received for the whole span (the connection included).
  Set(Curl().easy_setopt(easy.get(), CURLOPT_CONNECTTIMEOUT, static_cast<long>(limits.no_progress_seconds)));
  Set(Curl().easy_setopt(easy.get(), CURLOPT_XFERINFOFUNCTION, CheckProgress));
  Set(Curl().easy_setopt(easy.get(), CURLOPT_XFERINFODATA, &sink));
  Set(Curl().easy_setopt(easy.get(), CURLOPT_NOPROGRESS, 0L));
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  Set(Curl().easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, std::max<long>(1, static_cast<long>(left.count()))));

  if (Curl().easy_perform(easy.get()) != CURLE_OK) throw Failure("the transfer failed");
  long status = 0;
  Curl().easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
  if (status < 200 || status > 299) throw Failure("no picture: status " + std::to_string(status));
  KeepIfWanted(file, keep);
}

}  // namespace web

}  // namespace pavo
