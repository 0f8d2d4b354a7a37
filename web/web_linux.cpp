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
// download need not carry. Either build of it serves (libcurl.so.4, or
// libcurl-gnutls.so.4, all that some desktops carry), from version 7.68 on;
// a system without one, or with an older one, fails the transfers as any
// network failure does.
//
// Names are looked up by GIO's resolver, which can be abandoned when the
// time is up, and handed to libcurl (CURLOPT_RESOLVE): libcurl's own lookup
// runs on a thread it waits for when a transfer ends, however long the
// system's resolver takes. libcurl starts no lookup of its own; where it
// needs a name nobody looked up (a redirect to another host, a proxy of the
// environment), the transfer is taken up again from there once that name is
// looked up.
// The bit masks that name the schemes before 7.85 are deprecated in later headers.
#define CURL_DISABLE_DEPRECATION
#include <curl/curl.h>
#include <gio/gio.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

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
// The oldest libcurl taken, as curl_version_info numbers it (7.68.0).
constexpr unsigned kOldestCurl = 0x074400;

// Options of libcurl 7.85 that its headers before that version do not name;
// an older libcurl answers them with CURLE_UNKNOWN_OPTION.
#if LIBCURL_VERSION_NUM < 0x075500
constexpr CURLoption CURLOPT_PROTOCOLS_STR = static_cast<CURLoption>(CURLOPTTYPE_STRINGPOINT + 318);
constexpr CURLoption CURLOPT_REDIR_PROTOCOLS_STR = static_cast<CURLoption>(CURLOPTTYPE_STRINGPOINT + 319);
#endif
// Between two turns of the fetch's wait: short enough that the GLib main
// context is served promptly, long enough that waiting costs no CPU.
constexpr int kTurnMs = 100;

// ---- libcurl, while a transfer runs ---------------------------------------

// The library's functions the transfers call, by the names of its interface.
#define PAVO_CURL_FUNCTION(name) decltype(&::curl_##name) name = module.Function<decltype(&::curl_##name)>("curl_" #name)

struct CurlLibrary {
  sys::Module module{{"libcurl.so.4", "libcurl-gnutls.so.4"}};
  PAVO_CURL_FUNCTION(version_info);
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
  PAVO_CURL_FUNCTION(url);
  PAVO_CURL_FUNCTION(url_cleanup);
  PAVO_CURL_FUNCTION(url_set);
  PAVO_CURL_FUNCTION(url_get);
  PAVO_CURL_FUNCTION(free);

  CurlLibrary() {
    const curl_version_info_data* v = version_info(CURLVERSION_NOW);
    if (!v || v->version_num < kOldestCurl) throw Failure("libcurl older than 7.68");
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
// none that libcurl can use, fails, or does not answer within ms. Then
// libcurl reads the environment itself, so a proxy set there still holds
// where the desktop's settings say nothing (or no resolver module is
// installed, whose stand-in always answers direct://).
std::string UserProxy(const std::string& url, unsigned ms) {
  GProxyResolver* resolver = g_proxy_resolver_get_default();
  const glib::Object<GAsyncResult> answer = sys::Await(
      [&](GCancellable* cancellable, GAsyncReadyCallback done, gpointer data) {
        g_proxy_resolver_lookup_async(resolver, url.c_str(), cancellable, done, data);
      },
      ms);
  if (!answer) return "";
  const glib::Strv proxies(g_proxy_resolver_lookup_finish(resolver, answer.get(), nullptr));
  std::string proxy;
  for (gchar** p = proxies.get(); p && *p && proxy.empty(); ++p) {
    if (g_str_has_prefix(*p, "direct://")) break;
    proxy = CurlProxy(*p);
  }
  return proxy;
}

// The proxy libcurl takes from the environment for url's scheme, as its
// documentation of CURLOPT_PROXY says (http_proxy only in lower case, any
// other scheme's in either, then all_proxy), before no_proxy is consulted;
// "" when none is set.
std::string EnvironmentProxy(const std::string& url) {
  const std::string scheme = sys::AsciiLower(url.substr(0, url.find(':')));
  std::string upper = scheme;
  for (char& ch : upper) ch = g_ascii_toupper(ch);
  const std::string names[] = {scheme + "_proxy", scheme == "http" ? "" : upper + "_PROXY", "all_proxy", "ALL_PROXY"};
  for (const auto& name : names) {
    const char* value = name.empty() ? nullptr : g_getenv(name.c_str());
    if (value && *value) return value;
  }
  return "";
}

// ---- names, looked up within the time left -------------------------------

using Clock = std::chrono::steady_clock;

unsigned MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<unsigned>(std::clamp<long long>(left, 0, 1 << 30));
}

// A host and port as libcurl connects to them.
struct Endpoint {
  std::string host;
  std::string port;
};

void UrlCleanup(CURLU* u) { Curl().url_cleanup(u); }
void CurlFree(char* p) { Curl().free(p); }

// The host and port of url (a proxy's may lack its scheme); a proxy's port
// is 1080 where it names none, as libcurl's is. nullopt when url names no
// host.
std::optional<Endpoint> EndpointOf(const std::string& url, bool proxy) {
  const sys::Owned<CURLU*, UrlCleanup> u(Curl().url());
  if (!u || Curl().url_set(u.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME))
    return std::nullopt;
  char* host = nullptr;
  char* port = nullptr;
  Curl().url_get(u.get(), CURLUPART_HOST, &host, 0);
  Curl().url_get(u.get(), CURLUPART_PORT, &port, proxy ? 0 : CURLU_DEFAULT_PORT);
  const sys::Owned<char*, CurlFree> own_host(host), own_port(port);
  if (!host || !*host) return std::nullopt;
  return Endpoint{host, port ? port : "1080"};
}

// The addresses GIO's resolver gives for host within ms; none when it finds
// none or does not answer in time (then the lookup is abandoned).
std::vector<std::string> Addresses(const std::string& host, unsigned ms) {
  if (g_hostname_is_ip_address(host.c_str())) return {host};
  std::vector<std::string> found;
  if (ms == 0) return found;
  const glib::Object<GResolver> resolver(g_resolver_get_default());
  const glib::Object<GAsyncResult> answer = sys::Await(
      [&](GCancellable* cancellable, GAsyncReadyCallback done, gpointer data) {
        g_resolver_lookup_by_name_async(resolver.get(), host.c_str(), cancellable, done, data);
      },
      ms);
  if (!answer) return found;
  GList* list = g_resolver_lookup_by_name_finish(resolver.get(), answer.get(), nullptr);
  for (GList* a = list; a; a = a->next)
    found.emplace_back(glib::Chars(g_inet_address_to_string(G_INET_ADDRESS(a->data))).get());
  g_resolver_free_addresses(list);
  return found;
}

// The names one transfer has looked up, and what it hands libcurl of them.
class Names {
 public:
  // Looks e up once, within the time left; whether it was new.
  bool LookUp(const std::optional<Endpoint>& e, Clock::time_point deadline) {
    if (!e || e->host.front() == '[' || !done_.insert(e->host + ":" + e->port).second) return false;
    std::string entry;
    for (const auto& address : Addresses(e->host, MsLeft(deadline))) entry += (entry.empty() ? "" : ",") + address;
    if (entry.empty()) return true;
    // A name in Unicode under its ASCII form too, which a libcurl with IDN support looks for.
    std::vector<std::string> hosts{e->host};
    const glib::Chars ascii(g_hostname_to_ascii(e->host.c_str()));
    if (ascii && e->host != ascii.get()) hosts.emplace_back(ascii.get());
    for (const auto& host : hosts) {
      curl_slist* l = Curl().slist_append(list_.get(), (host + ":" + e->port + ":" + entry).c_str());
      if (!l) throw Failure("curl_slist_append");
      if (!list_) list_.reset(l);
    }
    return true;
  }
  // Kept until the transfer has ended, as libcurl asks.
  curl_slist* list() const { return list_.get(); }

 private:
  std::set<std::string> done_;
  Slist list_;
};

// One try of a transfer: libcurl asked for a lookup of its own (refused).
struct Round {
  bool refused = false;
  bool allow_lookup = false;  // an IPv6 literal, which CURLOPT_RESOLVE cannot name
};

int RefuseLookup(void*, void*, void* user) {
  auto* round = static_cast<Round*>(user);
  if (round->allow_lookup) return 0;
  round->refused = true;
  return 1;
}

// A proxy of a kind that leaves the host's name to the proxy.
bool ProxyResolves(const std::string& proxy) {
  return !g_str_has_prefix(proxy.c_str(), "socks4://") && !g_str_has_prefix(proxy.c_str(), "socks5://");
}

// Sets c up for url, after `followed` redirects: what both transfers set (the
// address, the schemes, redirects, TLS, the user's proxy) and the addresses
// of the names libcurl will need, looked up before lookup_by. After a try
// that needed a name nobody looked up (again), also the names it may have
// needed: the host's and the environment's proxy's. Whether a name was
// looked up that had not been.
bool Prepare(CURL* c, const std::string& url, long followed, Names& names, Round& round, bool again,
             Clock::time_point lookup_by) {
  round = Round{};
  Set(Curl().easy_setopt(c, CURLOPT_URL, url.c_str()));
  Set(Curl().easy_setopt(c, CURLOPT_HTTPGET, 1L));
  const CURLcode schemes = Curl().easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  if (schemes == CURLE_UNKNOWN_OPTION) {  // before 7.85: the bit masks
    Set(Curl().easy_setopt(c, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS)));
    Set(Curl().easy_setopt(c, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS)));
  } else {
    Set(schemes);
    Set(Curl().easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
  }
  Set(Curl().easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L));
  Set(Curl().easy_setopt(c, CURLOPT_MAXREDIRS, std::max(0L, kMaxRedirects - followed)));
  Set(Curl().easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L));
  Set(Curl().easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L));
  Set(Curl().easy_setopt(c, CURLOPT_NOSIGNAL, 1L));
  const std::string proxy = UserProxy(url, std::min(kProxyLookupMs, MsLeft(lookup_by)));
  // None: libcurl's default, its reading of the environment.
  Set(Curl().easy_setopt(c, CURLOPT_PROXY, proxy.empty() ? nullptr : proxy.c_str()));

  const auto host = EndpointOf(url, false);
  round.allow_lookup = host && host->host.front() == '[';
  bool fresh = false;
  if (!proxy.empty()) fresh |= names.LookUp(EndpointOf(proxy, true), lookup_by);
  if (proxy.empty() || !ProxyResolves(proxy) || again) fresh |= names.LookUp(host, lookup_by);
  if (again) {
    const std::string from_environment = EnvironmentProxy(url);
    if (!from_environment.empty()) fresh |= names.LookUp(EndpointOf(from_environment, true), lookup_by);
  }
  Set(Curl().easy_setopt(c, CURLOPT_RESOLVE, names.list()));
  Set(Curl().easy_setopt(c, CURLOPT_RESOLVER_START_FUNCTION, RefuseLookup));
  Set(Curl().easy_setopt(c, CURLOPT_RESOLVER_START_DATA, &round));
  return fresh;
}

// Where a try that stopped for a lookup of libcurl's own stood: the address
// it had reached, and the redirects followed on the way.
void Reached(CURL* c, std::string& url, long& followed) {
  char* at = nullptr;
  long redirects = 0;
  Curl().easy_getinfo(c, CURLINFO_EFFECTIVE_URL, &at);
  Curl().easy_getinfo(c, CURLINFO_REDIRECT_COUNT, &redirects);
  if (at) url = at;
  followed += redirects;
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
  return web::Utf8Text(body);  // declared UTF-8, or nothing declared
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
  // The moment the wait below gives up: everything, the lookups included, ends by then.
  const auto deadline = Clock::time_point(std::chrono::seconds(WholeSeconds(Clock::now()) + kTextTimeoutSeconds + 1));
  const CurlUse curl(CurlUse::kKeep);
  // Kept until the handles are gone, as libcurl asks of the list it is handed.
  Names names;
  Round round;
  Easy easy(Curl().easy_init());
  if (!easy) throw Failure("curl_easy_init");

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

  // A try, the first or one taken up again where the last needed a name
  // nobody looked up; false when no new name could be looked up for it.
  std::string at = url;
  long followed = 0;
  const auto begin = [&](bool again) {
    if (!Prepare(easy.get(), at, followed, names, round, again, deadline) && again) return false;
    sink = TextSink{};
    if (Curl().multi_add_handle(m.multi, easy.get()) != CURLM_OK) throw Failure("curl_multi_add_handle");
    m.easy = easy.get();
    return true;
  };

  CURLcode result = CURLE_OK;
  bool started = false;
  const auto complete = [&] {
    if (!started) started = begin(false);
    int running = 0;
    if (Curl().multi_perform(m.multi, &running) != CURLM_OK) throw Failure("curl_multi_perform");
    bool done = false;
    int left = 0;
    while (CURLMsg* msg = Curl().multi_info_read(m.multi, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      result = msg->data.result;
      done = true;
      if (result != CURLE_OK && round.refused) {
        Reached(easy.get(), at, followed);
        Curl().multi_remove_handle(m.multi, easy.get());
        m.easy = nullptr;
        done = !begin(true);
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

  // The total limit counts from here: the proxy's and the names' lookups are part of it.
  const auto deadline = Clock::now() + std::chrono::seconds(limits.total_seconds);
  const CurlUse curl(CurlUse::kUnload);
  // Kept until the handle is gone, as libcurl asks of the list it is handed.
  Names names;
  Round round;
  Easy easy(Curl().easy_init());
  if (!easy) throw Failure("curl_easy_init");
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

  // A try, the first or one taken up again where the last needed a name
  // nobody looked up. A lookup is no progress either.
  std::string at = address;
  long followed = 0;
  for (bool again = false;; again = true) {
    const auto lookup_by = std::min(deadline, sink.last_progress + sink.stall);
    if (!Prepare(easy.get(), at, followed, names, round, again, lookup_by) && again)
      throw Failure("no address for a name");
    const long left = static_cast<long>(MsLeft(deadline));
    if (left == 0) throw Failure("out of time");
    Set(Curl().easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, left));
    if (Curl().easy_perform(easy.get()) == CURLE_OK) break;
    if (!round.refused || sink.written) throw Failure("the transfer failed");
    Reached(easy.get(), at, followed);
  }
  long status = 0;
  Curl().easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
  if (status < 200 || status > 299) throw Failure("no picture: status " + std::to_string(status));
  KeepIfWanted(file, keep);
}

}  // namespace web

}  // namespace pavo
