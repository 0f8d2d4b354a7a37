// The metadata fetch and the image download on Windows, both over one HTTP
// client: WinINet, which takes the current user's Internet settings (the
// proxy, its automatic configuration script, the TLS settings).
//
// No request ever shows anything: every request handle has
// INTERNET_FLAG_NO_UI, so an answer that asks for credentials (401, 407) is
// a failed request like any other. Nothing is read from or written to the
// WinINet cache.
//
// Each transfer runs on a worker thread of its own. The calling thread (the
// window's) waits for it while dispatching its messages, and keeps the time
// limits itself: when one passes it stops waiting and abandons the transfer.
// No handle the worker may be using is ever closed from outside (WinINet
// promises a safe close only when no call is under way on the handle); the
// worker sees at its next step that it was abandoned, and nothing it does
// then counts: the file it wrote goes, and it can no longer give the file its
// final name. It ends with the process. A transfer that fails or is abandoned
// keeps its connection to the end of the process instead of closing it,
// since closing a request whose answer is still coming may read all the rest.
#include <windows.h>
#include <mlang.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sys/pending_file.h"
#include "sys/scoped_win32.h"
#include "sys/text_win32.h"
#include "web/transfer.h"
#include "web/web.h"

namespace pavo {

namespace {

using Clock = std::chrono::steady_clock;
using win32::ThrowLastError;

constexpr int kMaxRedirects = 10;

DWORD MillisecondsUntil(Clock::time_point t) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
  return static_cast<DWORD>(std::clamp<long long>(ms, 0, 0x7FFFFFFF));
}

// ---- a transfer on a worker thread ---------------------------------------

class SrwGuard {
 public:
  explicit SrwGuard(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~SrwGuard() { ReleaseSRWLockExclusive(&lock_); }
  SrwGuard(const SrwGuard&) = delete;
  SrwGuard& operator=(const SrwGuard&) = delete;

 private:
  SRWLOCK& lock_;
};

// What the calling thread and the worker share; it lives while either holds
// it. The worker alone uses the transfer's WinINet handles; what both reach
// is read or changed under the lock.
class Job {
 public:
  Job() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!done_) ThrowLastError("CreateEventW");
  }
  virtual ~Job() = default;
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // Runs Work on a thread of its own.
  static void Start(const std::shared_ptr<Job>& job) {
    auto* held = new std::shared_ptr<Job>(job);
    const win32::Handle thread(CreateThread(nullptr, 0, &Job::Main, held, 0, nullptr));
    if (!thread) {
      delete held;
      ThrowLastError("CreateThread");
    }
  }

  HANDLE Done() const { return done_.get(); }
  bool Finished() const { return WaitForSingleObject(done_.get(), 0) == WAIT_OBJECT_0; }
  // Once Finished: whether Work ran to its end.
  bool Succeeded() const { return succeeded_; }

  // The calling thread gives up on the transfer: nothing the worker does
  // from now on counts.
  void Abandon() {
    SrwGuard guard(lock_);
    abandoned_ = true;
    Dropped();
  }

  // The worker: runs step under the lock unless the transfer was abandoned,
  // which throws.
  template <class Step>
  void WhileWanted(Step&& step) {
    SrwGuard guard(lock_);
    if (abandoned_) throw Failure("abandoned");
    step();
  }

  // The worker: something arrived.
  void Progress() {
    SrwGuard guard(lock_);
    last_progress_ = Clock::now();
  }
  Clock::time_point LastProgress() {
    SrwGuard guard(lock_);
    return last_progress_;
  }

 protected:
  virtual void Work() = 0;
  // Under the lock, when the transfer is abandoned: what the worker would
  // leave behind goes.
  virtual void Dropped() {}

 private:
  static DWORD WINAPI Main(void* held) {
    const std::unique_ptr<std::shared_ptr<Job>> self(static_cast<std::shared_ptr<Job>*>(held));
    Job& job = **self;
    try {
      job.Work();
      job.succeeded_ = true;
    } catch (...) {
      // What it leaves goes now, before anyone hears that it ended.
      job.Abandon();
    }
    SetEvent(job.done_.get());  // what Work wrote is visible to whoever sees the event
    return 0;
  }

  const win32::Handle done_;
  bool succeeded_ = false;
  SRWLOCK lock_ = SRWLOCK_INIT;
  bool abandoned_ = false;
  Clock::time_point last_progress_ = Clock::now();
};

// Sleeps until the job ends, a message comes for the thread, or ms pass.
void SleepUntilDoneOrMessage(const Job& job, DWORD ms) {
  const HANDLE done = job.Done();
  MsgWaitForMultipleObjectsEx(1, &done, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

// ---- the HTTP client both requests share ---------------------------------

// Whether an answer of this status names another place to ask.
bool IsRedirect(DWORD status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// One response header as text; nullopt when the answer has none.
std::optional<std::wstring> Header(HINTERNET request, DWORD which) {
  std::wstring text(128, L'\0');
  for (;;) {
    DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (HttpQueryInfoW(request, which, text.data(), &bytes, nullptr)) {
      text.resize(bytes / sizeof(wchar_t));
      return text;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || text.size() >= 65536) return std::nullopt;
    text.resize(bytes / sizeof(wchar_t) + 1);
  }
}

// The requests of one transfer, with the program's User-Agent. Redirects are
// followed here, one hop at a time, so each hop's address can be checked
// (http and https only) and counted. The handles are closed only once a
// body has been read to its end (Close); otherwise they stay to the end of
// the process.
class Client {
 public:
  // Every wait inside one WinINet call gives up after wait_ms; the caller's
  // limits do not rest on this.
  explicit Client(DWORD wait_ms) {
    session_ = InternetOpenW(win32::Wide(web::kUserAgent).c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!session_) ThrowLastError("InternetOpenW");
    for (DWORD option :
         {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
      InternetSetOptionW(session_, option, &wait_ms, sizeof wait_ms);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // GETs url with the extra headers (CRLF-separated, or empty), following
  // redirects; the request whose answer is no redirect, and its status.
  std::pair<HINTERNET, DWORD> Get(std::wstring url, const std::wstring& headers, Job& job) {
    for (int redirects = 0;; ++redirects) {
      const HINTERNET request = OpenHop(url);
      job.WhileWanted([] {});
      if (!HttpSendRequestW(request, headers.empty() ? nullptr : headers.c_str(), static_cast<DWORD>(-1L), nullptr,
                            0))
        ThrowLastError("HttpSendRequestW");
      job.Progress();
      DWORD status = 0;
      DWORD size = sizeof status;
      if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
        ThrowLastError("HttpQueryInfoW");
      // No credentials are ever asked for or given.
      if (status == HTTP_STATUS_DENIED || status == HTTP_STATUS_PROXY_AUTH_REQ) throw Failure("credentials asked for");
      if (!IsRedirect(status)) return {request, status};
      if (redirects == kMaxRedirects) throw Failure("too many redirects");
      url = NextLocation(url, request);
    }
  }

  // Reads the body of request into sink, at most max_bytes of it: more is a
  // failure, found out without reading on. A body that ends before its
  // declared length is a failure too.
  void Receive(HINTERNET request, std::uint64_t max_bytes, Job& job,
               const std::function<void(const char*, DWORD)>& sink) {
    std::optional<std::uint64_t> declared;
    const std::optional<std::wstring> coding = Header(request, HTTP_QUERY_TRANSFER_ENCODING);
    const std::optional<std::wstring> length = Header(request, HTTP_QUERY_CONTENT_LENGTH);
    if (length && !coding) {  // a chunked body has none
      wchar_t* end = nullptr;
      const unsigned long long n = wcstoull(length->c_str(), &end, 10);
      if (end == length->c_str() || *end != L'\0' || n > max_bytes) throw Failure("a length refused");
      declared = n;
    }
    std::vector<char> buffer(64 * 1024);
    std::uint64_t received = 0;
    for (;;) {
      // Wait for some bytes, then read just those: a read of a whole buffer
      // may wait until the buffer is full, which a slow sender can put off
      // for ever. A body that breaks off where WinINet can tell fails here.
      DWORD ready = 0;
      job.WhileWanted([] {});
      if (!InternetQueryDataAvailable(request, &ready, 0, 0)) ThrowLastError("InternetQueryDataAvailable");
      if (ready == 0) break;  // the end of the body
      // Never more than one byte past the limit: that byte is the failure.
      const std::uint64_t room = max_bytes - received + 1;
      const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>({ready, buffer.size(), room}));
      DWORD got = 0;
      job.WhileWanted([] {});
      if (!InternetReadFile(request, buffer.data(), want, &got)) ThrowLastError("InternetReadFile");
      if (got == 0) break;
      job.Progress();
      received += got;
      if (received > max_bytes) throw Failure("too long");
      sink(buffer.data(), got);
    }
    if (declared && received != *declared) throw Failure("cut off");  // the connection ended early
  }

  // All handles, the newest first: only after a body was read to its end.
  void Close() {
    for (auto h = handles_.rbegin(); h != handles_.rend(); ++h) InternetCloseHandle(*h);
    handles_.clear();
    InternetCloseHandle(session_);
    session_ = nullptr;
  }

 private:
  // One hop: the connection to url's server and a request for its path,
  // with no user interface, no cache, no cookies, no redirect followed
  // inside WinINet. Certificates are verified as WinINet always does unless
  // told otherwise, which it never is.
  HINTERNET OpenHop(const std::wstring& url) {
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts)) ThrowLastError("InternetCrackUrlW");
    if ((parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) || !parts.lpszHostName ||
        parts.dwHostNameLength == 0)
      throw Failure("not a web address");
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
    if (parts.lpszExtraInfo) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    path = path.substr(0, path.find(L'#'));  // a fragment is never sent
    if (path.empty() || path[0] != L'/') path.insert(0, L"/");

    const HINTERNET connection =
        InternetConnectW(session_, host.c_str(), parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (!connection) ThrowLastError("InternetConnectW");
    handles_.push_back(connection);
    DWORD flags = INTERNET_FLAG_NO_UI | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                  INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTO_REDIRECT;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
    const HINTERNET request = HttpOpenRequestW(connection, L"GET", path.c_str(), nullptr, nullptr, nullptr, flags, 0);
    if (!request) ThrowLastError("HttpOpenRequestW");
    handles_.push_back(request);
    return request;
  }

  // Where a redirect's answer points, as an absolute address.
  static std::wstring NextLocation(const std::wstring& url, HINTERNET request) {
    const std::optional<std::wstring> location = Header(request, HTTP_QUERY_LOCATION);
    if (!location || location->empty()) throw Failure("a redirect to nowhere");
    std::wstring next(4096, L'\0');
    DWORD length = static_cast<DWORD>(next.size());
    if (!InternetCombineUrlW(url.c_str(), location->c_str(), next.data(), &length, 0))
      ThrowLastError("InternetCombineUrlW");
    next.resize(length);
    return next;
  }

  HINTERNET session_ = nullptr;
  std::vector<HINTERNET> handles_;
};

// ---- the fetch -------------------------------------------------------------

// The metadata request's one header besides the User-Agent.
constexpr wchar_t kFetchHeaders[] = L"If-Modified-Since: 0\r\n";

class FetchJob : public Job {
 public:
  explicit FetchJob(std::string url) : url_(std::move(url)) {}
  // Once finished: the body and the type the answer declared.
  std::string body;
  std::string content_type;

 private:
  void Work() override {
    // A little longer than the caller waits: the worker then ends by itself.
    Client client((web::kTextTimeoutSeconds + 2) * 1000);
    const HINTERNET request = client.Get(win32::Wide(url_), kFetchHeaders, *this).first;
    std::string bytes;
    client.Receive(request, web::kMaxTextBytes, *this, [&](const char* data, DWORD n) { bytes.append(data, n); });
    content_type = win32::Utf8(Header(request, HTTP_QUERY_CONTENT_TYPE).value_or(L""));
    body = std::move(bytes);
    client.Close();
  }

  const std::string url_;
};

// The Windows code page of a character set's name, as the system's table of
// Internet character sets (MLang) knows it.
UINT CodePageOf(const std::string& charset) {
  // IID_IMultiLanguage2, which the import libraries do not carry.
  static const IID kIMultiLanguage2 = {0xDCCFC164, 0x2B38, 0x11D2, {0xB7, 0xEC, 0x00, 0xC0, 0x4F, 0x8F, 0x5D, 0x9A}};
  const win32::Apartment apartment;
  win32::Com<IMultiLanguage2> mlang;
  win32::Check(CoCreateInstance(CLSID_CMultiLanguage, nullptr, CLSCTX_INPROC_SERVER, kIMultiLanguage2,
                                reinterpret_cast<void**>(mlang.put())),
               "CoCreateInstance(CMultiLanguage)");
  const std::wstring wide = win32::Wide(charset);
  BSTR name = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (!name) throw Failure("SysAllocStringLen");
  MIMECSETINFO info{};
  const HRESULT hr = mlang->GetCharsetInfo(name, &info);
  SysFreeString(name);
  win32::Check(hr, "GetCharsetInfo");
  return info.uiInternetEncoding;
}

// The body as text: exactly "gbk" reads it in the system's ANSI code page;
// anything else in the character set the answer declares, UTF-8 when it
// declares none. A byte the character set cannot read becomes U+FFFD; a
// byte-order mark is no part of the text.
std::string Decode(const std::string& body, const std::string& selector, const std::string& content_type) {
  if (selector == "gbk") return win32::FromAnsi(body);
  const std::string charset = web::CharsetOf(content_type);
  if (web::IsUtf8Name(charset)) return web::Utf8Text(body);
  return win32::FromCodePage(CodePageOf(charset), body);
}

// ---- the download ----------------------------------------------------------

class DownloadJob : public Job {
 public:
  DownloadJob(std::string address, const std::string& target, bool (*keep)(const std::string&),
              const DownloadLimits& limits)
      : address_(std::move(address)), keep_(keep), limits_(limits), file_(std::in_place, target) {}

 private:
  void Work() override {
    Client client(static_cast<DWORD>(limits_.no_progress_seconds) * 1000);
    const auto [request, status] = client.Get(win32::Wide(address_), L"", *this);
    if (status < 200 || status > 299) throw Failure("no picture: status " + std::to_string(status));
    client.Receive(request, limits_.max_bytes, *this,
                   [&](const char* data, DWORD n) { WhileWanted([&] { file_->Append(data, n); }); });
    client.Close();
    // Judged and named under the lock: a transfer abandoned meanwhile has
    // already lost its file, and one abandoned later finds it kept.
    WhileWanted([&] { web::KeepIfWanted(*file_, keep_); });
  }

  void Dropped() override { file_.reset(); }

  const std::string address_;
  bool (*const keep_)(const std::string&);
  const DownloadLimits limits_;
  std::optional<sys::PendingFile> file_;  // under the lock
};

// Waits for the download while dispatching the thread's messages: false
// once the deadline has passed or nothing has arrived for the stall span.
bool AwaitDownload(Job& job, const MessagePump& pump, Clock::time_point deadline, Clock::duration stall) {
  for (;;) {
    if (job.Finished()) return true;
    pump.dispatch();
    const Clock::time_point due = std::min(deadline, job.LastProgress() + stall);
    if (Clock::now() >= due) return false;
    SleepUntilDoneOrMessage(job, std::max<DWORD>(1, MillisecondsUntil(due)));
  }
}

}  // namespace

namespace web {

std::string Fetch(const std::string& url, const std::string& selector, const MessagePump& pump) {
  const auto job = std::make_shared<FetchJob>(url);
  Job::Start(job);
  const bool answered = AwaitAnswer(pump, [&] { return job->Finished(); },
                                    [&](std::uint32_t ms) { SleepUntilDoneOrMessage(*job, ms); });
  if (!answered) {
    job->Abandon();
    throw Failure("no answer in time");
  }
  if (!job->Succeeded()) throw Failure("no answer");
  return Decode(job->body, selector, job->content_type);
}

void Download(const std::string& address, const std::string& target, bool (*keep)(const std::string& file),
              const MessagePump& pump, const DownloadLimits& limits) {
  // The total limit counts from here. A target that cannot be created
  // (missing directory, no rights) is found out before anything is fetched.
  const auto deadline = Clock::now() + std::chrono::seconds(limits.total_seconds);
  const auto job = std::make_shared<DownloadJob>(address, target, keep, limits);
  Job::Start(job);
  if (!AwaitDownload(*job, pump, deadline, std::chrono::seconds(limits.no_progress_seconds))) {
    job->Abandon();
    throw Failure("the download ran out of time");
  }
  if (!job->Succeeded()) throw Failure("the download failed");
}

}  // namespace web

}  // namespace pavo
