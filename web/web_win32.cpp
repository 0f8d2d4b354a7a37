// The metadata fetch and the image download on Windows.
//
// The fetch drives the system's "Microsoft.XMLHTTP" component by late
// binding, asynchronously: an asynchronous request in a single-threaded
// apartment moves on only while the thread dispatches its messages, so the
// wait dispatches them on every turn and sleeps in between until a message
// comes or the next whole second begins.
//
// The download uses WinINet, synchronously on the calling thread, with a
// watchdog thread for its time limits. A blocking XMLHTTP "send" cannot be
// bounded in time or size, cannot tell an error page from an image before
// holding all of it, and hands the body over only in one piece; WinINet lets
// the body stream into a file beside the target under a no-progress limit, a
// total deadline and a size cap. WinINet is also what the metadata request's
// component works on, so both requests see the same network settings.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
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
using win32::Check;
using win32::ThrowLastError;

// ---- COM late binding ----------------------------------------------------

class Variant {
 public:
  Variant() { VariantInit(&v_); }
  explicit Variant(const std::wstring& text) {
    VariantInit(&v_);
    v_.vt = VT_BSTR;
    v_.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!v_.bstrVal) throw Failure("SysAllocStringLen");
  }
  explicit Variant(bool b) {
    VariantInit(&v_);
    v_.vt = VT_BOOL;
    v_.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&v_); }
  VARIANT* get() { return &v_; }
  const VARIANT& ref() const { return v_; }

 private:
  VARIANT v_;
};

// One instance of the request component, released on every path.
class Request {
 public:
  Request() {
    CLSID clsid;
    Check(CLSIDFromProgID(L"Microsoft.XMLHTTP", &clsid), "CLSIDFromProgID");
    Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                           reinterpret_cast<void**>(obj_.put())),
          "CoCreateInstance");
  }

  // Calls the member by name (the component matches names without regard to
  // case); arguments in their natural order.
  void Call(const wchar_t* name, WORD kind, std::initializer_list<const Variant*> args, VARIANT* result) {
    DISPID id;
    LPOLESTR n = const_cast<LPOLESTR>(name);
    Check(obj_->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id), "GetIDsOfNames");
    std::vector<VARIANTARG> reversed;
    for (const Variant* a : args) reversed.insert(reversed.begin(), a->ref());
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                      static_cast<UINT>(reversed.size()), 0};
    EXCEPINFO info{};
    UINT arg_error = 0;
    HRESULT hr = obj_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, kind, &params, result, &info, &arg_error);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    Check(hr, "Invoke");
  }

  void Method(const wchar_t* name, std::initializer_list<const Variant*> args) {
    Variant ignored;
    Call(name, DISPATCH_METHOD, args, ignored.get());
  }

  long ReadyState() {
    Variant v;
    Call(L"ReadyState", DISPATCH_PROPERTYGET, {}, v.get());
    Check(VariantChangeType(v.get(), v.get(), 0, VT_I4), "ReadyState");
    return v.get()->lVal;
  }

  std::string ResponseBody() {
    Variant v;
    Call(L"responseBody", DISPATCH_PROPERTYGET, {}, v.get());
    if (v.get()->vt == VT_EMPTY || v.get()->vt == VT_NULL) return "";
    if (v.get()->vt != (VT_ARRAY | VT_UI1) || !v.get()->parray) throw Failure("responseBody is no byte array");
    SAFEARRAY* a = v.get()->parray;
    LONG lo = 0, hi = -1;
    Check(SafeArrayGetLBound(a, 1, &lo), "SafeArrayGetLBound");
    Check(SafeArrayGetUBound(a, 1, &hi), "SafeArrayGetUBound");
    if (hi < lo) return "";
    void* data = nullptr;
    Check(SafeArrayAccessData(a, &data), "SafeArrayAccessData");
    std::string bytes(static_cast<const char*>(data), static_cast<size_t>(hi - lo) + 1);
    SafeArrayUnaccessData(a);
    return bytes;
  }

  std::wstring ResponseText() {
    Variant v;
    Call(L"responseText", DISPATCH_PROPERTYGET, {}, v.get());
    if (v.get()->vt == VT_EMPTY || v.get()->vt == VT_NULL) return L"";
    Check(VariantChangeType(v.get(), v.get(), 0, VT_BSTR), "responseText");
    BSTR b = v.get()->bstrVal;
    return std::wstring(b, SysStringLen(b));
  }

 private:
  win32::Com<IDispatch> obj_;
};

constexpr long kComplete = 4;
constexpr long kInteractive = 3;
// How often the size of a partly received answer is looked at: copying it on
// every turn would cost more than the transfer itself.
constexpr auto kPartialCheckEvery = std::chrono::milliseconds(250);

}  // namespace

namespace web {

std::string Fetch(const std::string& url, const std::string& selector, const MessagePump& pump) {
  Request req;
  Variant get(std::wstring(L"get")), address(win32::Wide(url)), async(true);
  req.Method(L"Open", {&get, &address, &async});
  Variant ims(std::wstring(L"If-Modified-Since")), zero(std::wstring(L"0"));
  req.Method(L"setRequestHeader", {&ims, &zero});
  Variant ua(std::wstring(L"User-Agent")), ua_value(win32::Wide(web::kUserAgent));
  req.Method(L"setRequestHeader", {&ua, &ua_value});
  req.Method(L"send", {});

  auto last_partial_check = Clock::now();
  const auto complete = [&] {
    const long state = req.ReadyState();
    const auto now = Clock::now();
    if (state == kInteractive && now - last_partial_check >= kPartialCheckEvery) {
      last_partial_check = now;
      // Not every component hands out a partial body; when it does not, the
      // size is judged once the answer is complete.
      std::optional<std::string> partial;
      try {
        partial = req.ResponseBody();
      } catch (const Failure&) {
      }
      if (partial && partial->size() > web::kMaxTextBytes) throw Failure("the answer is too long");
    }
    return state == kComplete;
  };
  // An asynchronous request in a single-threaded apartment moves on only
  // through the thread's messages: the wait is the pump's.
  if (!AwaitAnswer(pump, complete, pump.wait)) throw Failure("no answer in time");

  if (selector == "gbk") {
    std::string body = req.ResponseBody();
    if (body.size() > web::kMaxTextBytes) throw Failure("the answer is too long");
    return win32::FromAnsi(body);
  }
  std::wstring text = req.ResponseText();
  std::optional<std::string> body;
  try {
    body = req.ResponseBody();
  } catch (const Failure&) {
    // The text was readable; its size alone then has to do.
  }
  if ((body && body->size() > web::kMaxTextBytes) || text.size() > web::kMaxTextBytes)
    throw Failure("the answer is too long");
  return win32::Utf8(text);
}

}  // namespace web

namespace {

// ---- the download --------------------------------------------------------

// Closing a request handle whose body was not read to its end may itself
// take long: WinINet may read what is still coming before it lets go of the
// connection (Wine's does, for as long as the data come without a pause). The
// close runs on a thread of its own and is waited for this long at most, and
// never past the transfer's deadline; what it still does then goes on beside
// the run and ends with the process.
constexpr long long kCloseWaitMs = 1000;

DWORD WINAPI CloseRequest(void* request) {
  InternetCloseHandle(static_cast<HINTERNET>(request));
  return 0;
}

void CloseWithin(HINTERNET request, DWORD wait_ms) {
  const win32::Handle closer(CreateThread(nullptr, 0, &CloseRequest, request, 0, nullptr));
  if (closer) WaitForSingleObject(closer.get(), wait_ms);
  else InternetCloseHandle(request);
}

// The transfer's two time limits, kept by a second thread. A blocking WinINet
// call can be ended from outside only by closing the handle it works on: the
// watchdog closes the request handle once the deadline has passed or nothing
// has arrived for the no-progress span, whatever the call is doing then
// (resolving a name, connecting, the TLS handshake, sending, waiting for the
// headers or for the body). It closes the handle only while a call is under
// way; between calls it only marks the time as up, so no call is ever begun
// on a handle it has closed. The per-call time-outs set below say the same,
// but WinINet does not keep every one of them.
class Watchdog {
 public:
  Watchdog(Clock::time_point deadline, Clock::duration stall) : deadline_(deadline), stall_(stall) {
    last_progress_ = Clock::now();
    thread_.reset(CreateThread(nullptr, 0, &Watchdog::Main, this, 0, nullptr));
    if (!thread_) ThrowLastError("CreateThread");
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  ~Watchdog() {
    AcquireSRWLockExclusive(&lock_);
    stopping_ = true;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&wake_);
    WaitForSingleObject(thread_.get(), INFINITE);
  }

  // The request handle the blocking calls now work on; the watchdog owns it
  // until Release.
  void Watch(HINTERNET request) {
    AcquireSRWLockExclusive(&lock_);
    request_ = request;
    ReleaseSRWLockExclusive(&lock_);
  }

  // Closes the watched handle unless the watchdog has already done so.
  void Release() {
    AcquireSRWLockExclusive(&lock_);
    HINTERNET request = request_;
    request_ = nullptr;
    ReleaseSRWLockExclusive(&lock_);
    if (!request) return;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    CloseWithin(request, static_cast<DWORD>(std::clamp<long long>(left, 0, kCloseWaitMs)));
  }

  // Runs one blocking call on the watched handle: false when the time was up
  // before it, ran out during it, or the call failed.
  template <class F>
  bool Call(F&& call) {
    AcquireSRWLockExclusive(&lock_);
    const bool go = !expired_;
    in_call_ = go;
    ReleaseSRWLockExclusive(&lock_);
    if (!go) return false;
    const BOOL ok = call();
    AcquireSRWLockExclusive(&lock_);
    in_call_ = false;
    const bool in_time = !expired_;
    ReleaseSRWLockExclusive(&lock_);
    return in_time && ok;
  }

  // Something arrived: the no-progress span begins again. The watchdog
  // need not hear of it at once: when it wakes at the old due time, it finds
  // the new one.
  void Progress() {
    AcquireSRWLockExclusive(&lock_);
    last_progress_ = Clock::now();
    ReleaseSRWLockExclusive(&lock_);
  }

  // The longest the next single wait may take: the no-progress span, or the
  // time left to the deadline when that is shorter.
  DWORD NextWaitMs() const {
    const auto now = Clock::now();
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(std::min(deadline_, now + stall_) - now).count();
    return static_cast<DWORD>(std::clamp<long long>(ms, 1, 0x7FFFFFFF));
  }

 private:
  static DWORD WINAPI Main(void* self) {
    static_cast<Watchdog*>(self)->Run();
    return 0;
  }

  void Run() {
    AcquireSRWLockExclusive(&lock_);
    while (!stopping_) {
      const auto now = Clock::now();
      const auto due = std::min(deadline_, last_progress_ + stall_);
      DWORD wait = INFINITE;
      if (now >= due || expired_) {
        expired_ = true;
        if (in_call_ && request_) {
          InternetCloseHandle(request_);
          request_ = nullptr;
        }
      } else {
        wait = static_cast<DWORD>(
            std::clamp<long long>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count(), 1, 0x7FFFFFFF));
      }
      SleepConditionVariableSRW(&wake_, &lock_, wait, 0);
    }
    ReleaseSRWLockExclusive(&lock_);
  }

  const Clock::time_point deadline_;
  const Clock::duration stall_;
  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE wake_ = CONDITION_VARIABLE_INIT;
  Clock::time_point last_progress_;
  HINTERNET request_ = nullptr;
  bool in_call_ = false;
  bool expired_ = false;
  bool stopping_ = false;
  win32::Handle thread_;
};

// The request handle of one hop, watched for its whole life.
class WatchedRequest {
 public:
  WatchedRequest(Watchdog& dog, HINTERNET h) : dog_(dog), h_(h) {
    if (!h_) ThrowLastError("HttpOpenRequest");
    dog_.Watch(h_);
  }
  WatchedRequest(const WatchedRequest&) = delete;
  WatchedRequest& operator=(const WatchedRequest&) = delete;
  ~WatchedRequest() { dog_.Release(); }
  HINTERNET get() const { return h_; }

 private:
  Watchdog& dog_;
  HINTERNET h_;
};

// Every wait of the next call gives up after ms.
void SetTimeouts(HINTERNET request, DWORD ms) {
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    InternetSetOptionW(request, option, &ms, sizeof ms);
  }
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

bool IsRedirect(DWORD status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

constexpr int kMaxRedirects = 10;

}  // namespace

namespace web {

// The download goes over WinINet, the stack the metadata request's component
// uses, so both requests take the user's network settings alike: the proxy,
// its automatic configuration and the TLS settings of the current user's
// Internet options. Redirects are followed here, one hop at a time, so each
// hop's address can be checked and counted.
void Download(const std::string& address, const std::string& target, const web::DownloadLimits& limits) {
  // A target that cannot be created (missing directory, no rights) is found
  // out before anything is fetched.
  sys::PendingFile file(target);

  Watchdog dog(Clock::now() + std::chrono::seconds(limits.total_seconds),
               std::chrono::seconds(limits.no_progress_seconds));
  // No user agent: the image request carries no header of ours.
  const win32::InternetHandle session(InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) ThrowLastError("InternetOpenW");

  std::wstring url = win32::Wide(address);
  for (int redirects = 0;; ++redirects) {
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts)) ThrowLastError("InternetCrackUrlW");
    if ((parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) || !parts.lpszHostName ||
        parts.dwHostNameLength == 0)
      throw Failure("not a web address");
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
    if (parts.lpszExtraInfo) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    path = path.substr(0, path.find(L'#'));  // a fragment is never sent
    if (path.empty() || path[0] != L'/') path.insert(0, L"/");

    const win32::InternetHandle connection(
        InternetConnectW(session.get(), host.c_str(), parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) ThrowLastError("InternetConnectW");
    // Certificates are verified as WinINet always does unless told
    // otherwise, which it never is; nothing of ours goes into the cache or
    // the cookie store, and no dialog is ever shown.
    DWORD flags = INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES |
                  INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
    WatchedRequest request(dog, HttpOpenRequestW(connection.get(), L"GET", path.c_str(), nullptr, nullptr,
                                                 nullptr, flags, 0));
    SetTimeouts(request.get(), dog.NextWaitMs());
    if (!dog.Call([&] { return HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0); })) throw Failure("no answer");
    dog.Progress();

    DWORD status = 0;
    DWORD size = sizeof status;
    if (!HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
      ThrowLastError("HttpQueryInfoW");
    if (IsRedirect(status)) {
      const std::optional<std::wstring> location = Header(request.get(), HTTP_QUERY_LOCATION);
      if (redirects == kMaxRedirects || !location || location->empty()) throw Failure("a redirect not followed");
      std::wstring next(4096, L'\0');
      DWORD length = static_cast<DWORD>(next.size());
      if (!InternetCombineUrlW(url.c_str(), location->c_str(), next.data(), &length, 0))
        ThrowLastError("InternetCombineUrlW");
      next.resize(length);
      url = next;
      continue;
    }
    // An error page is no image.
    if (status < 200 || status > 299) throw Failure("no picture: status " + std::to_string(status));

    // A declared length says at once whether the body may be taken, and
    // later whether all of it came. A chunked body has none.
    std::optional<std::uint64_t> declared;
    const std::optional<std::wstring> coding = Header(request.get(), HTTP_QUERY_TRANSFER_ENCODING);
    const std::optional<std::wstring> length = Header(request.get(), HTTP_QUERY_CONTENT_LENGTH);
    if (length && !coding) {
      wchar_t* end = nullptr;
      const unsigned long long n = wcstoull(length->c_str(), &end, 10);
      if (end == length->c_str() || *end != L'\0' || n > limits.max_bytes) throw Failure("a length refused");
      declared = n;
    }

    std::vector<char> buffer(64 * 1024);
    std::uint64_t received = 0;
    for (;;) {
      SetTimeouts(request.get(), dog.NextWaitMs());
      // Wait for some bytes, then read just those: a read of a whole buffer
      // may wait until the buffer is full, which a slow sender can put off
      // for ever while every single byte keeps the no-progress limit away.
      // A body that breaks off where WinINet can tell (a chunked body
      // without its last chunk) fails one of these two calls.
      DWORD ready = 0;
      if (!dog.Call([&] { return InternetQueryDataAvailable(request.get(), &ready, 0, 0); })) throw Failure("cut off");
      if (ready == 0) break;  // the end of the body
      DWORD got = 0;
      if (!dog.Call([&] {
            return InternetReadFile(request.get(), buffer.data(), std::min(ready, static_cast<DWORD>(buffer.size())),
                                    &got);
          }))
        throw Failure("cut off");
      if (got == 0) break;
      dog.Progress();
      received += got;
      if (received > limits.max_bytes) throw Failure("too long");
      file.Append(buffer.data(), got);
    }
    if (declared && received != *declared) throw Failure("cut off");  // the connection ended early
    file.Commit();
    return;
  }
}

}  // namespace web

}  // namespace pavo
