// The metadata fetch and the image download on Windows.
//
// The fetch drives the system's "Microsoft.XMLHTTP" component by late
// binding, asynchronously: an asynchronous request in a single-threaded
// apartment moves on only while the thread dispatches its messages, so the
// wait dispatches them on every turn and sleeps in between until a message
// comes or the next whole second begins.
//
// The download uses WinHTTP, synchronously on the calling thread. A blocking
// XMLHTTP "send" cannot be bounded in time or size, cannot tell an error page
// from an image before holding all of it, and hands the body over only in one
// piece; WinHTTP lets the body stream into a file beside the target under a
// no-progress time-out, a total deadline and a size cap.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sys/pending_file.h"
#include "sys/failure.h"
#include "sys/scoped_win32.h"
#include "sys/text_win32.h"
#include "desktop/window.h"
#include "web/transfer.h"
#include "web/web.h"

namespace pavo {

namespace {

using Clock = std::chrono::steady_clock;

// ---- COM late binding ----------------------------------------------------

void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) {
    char code[16];
    wsprintfA(code, "%08lX", static_cast<unsigned long>(hr));
    throw Failure(std::string(what) + " failed, HRESULT " + code);
  }
}

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
                           reinterpret_cast<void**>(&obj_)),
          "CoCreateInstance");
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
  ~Request() {
    if (obj_) obj_->Release();
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
  IDispatch* obj_ = nullptr;
};

// Milliseconds until the next whole second of the steady clock begins: the
// only moments at which the time-out can come.
DWORD UntilNextSecond(Clock::time_point t) {
  auto since = t.time_since_epoch();
  auto next = std::chrono::duration_cast<std::chrono::seconds>(since) + std::chrono::seconds(1);
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - since).count();
  return static_cast<DWORD>(std::clamp<long long>(ms, 1, 1000));
}

constexpr long kComplete = 4;
constexpr long kInteractive = 3;
// How often the size of a partly received answer is looked at: copying it on
// every turn would cost more than the transfer itself.
constexpr auto kPartialCheckEvery = std::chrono::milliseconds(250);

}  // namespace

namespace web {

std::string Fetch(const std::string& url, const std::string& selector) {
  Request req;
  Variant get(std::wstring(L"get")), address(win32::Wide(url)), async(true);
  req.Method(L"Open", {&get, &address, &async});
  Variant ims(std::wstring(L"If-Modified-Since")), zero(std::wstring(L"0"));
  req.Method(L"setRequestHeader", {&ims, &zero});
  Variant ua(std::wstring(L"User-Agent")), ua_value(win32::Wide(web::kUserAgent));
  req.Method(L"setRequestHeader", {&ua, &ua_value});
  req.Method(L"send", {});

  // The request is on its way; the time-out counts whole seconds from here,
  // on a clock that a change of the wall clock does not move.
  const long long start = WholeSeconds(Clock::now());
  auto last_partial_check = Clock::now();
  for (;;) {
    const long state = req.ReadyState();
    if (state == kComplete) break;
    window::DoEvents();
    const auto now = Clock::now();
    if (WholeSeconds(now) - start > web::kTextTimeoutSeconds) return "";
    if (state == kInteractive && now - last_partial_check >= kPartialCheckEvery) {
      last_partial_check = now;
      // Not every component hands out a partial body; when it does not, the
      // size is judged once the answer is complete.
      std::optional<std::string> partial;
      try {
        partial = req.ResponseBody();
      } catch (const Failure&) {
      }
      if (partial && partial->size() > web::kMaxTextBytes) return "";
    }
    // The answer may have completed while the messages were dispatched; then
    // there is nothing to wait for.
    if (req.ReadyState() == kComplete) continue;
    window::WaitForMessages(UntilNextSecond(Clock::now()));
  }

  if (selector == "gbk") {
    std::string body = req.ResponseBody();
    if (body.size() > web::kMaxTextBytes) return "";
    return win32::FromAnsi(body);
  }
  std::wstring text = req.ResponseText();
  std::optional<std::string> body;
  try {
    body = req.ResponseBody();
  } catch (const Failure&) {
    // The text was readable; its size alone then has to do.
  }
  if ((body && body->size() > web::kMaxTextBytes) || text.size() > web::kMaxTextBytes) return "";
  return win32::Utf8(text);
}

}  // namespace web

namespace {

// ---- the download --------------------------------------------------------

class Internet {
 public:
  explicit Internet(HINTERNET h) : h_(h) {
    if (!h_) win32::ThrowLastError("WinHttp");
  }
  Internet(const Internet&) = delete;
  Internet& operator=(const Internet&) = delete;
  ~Internet() { WinHttpCloseHandle(h_); }
  HINTERNET get() const { return h_; }

 private:
  HINTERNET h_;
};

void SetDword(HINTERNET h, DWORD option, DWORD value) {
  if (!WinHttpSetOption(h, option, &value, sizeof value)) win32::ThrowLastError("WinHttpSetOption");
}

}  // namespace

namespace web {

void Download(const std::string& address, const std::string& target, const web::DownloadLimits& limits) {
  const std::wstring url = win32::Wide(address);

  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return;
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
  if (parts.lpszExtraInfo) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";

  // A target that cannot be created (missing directory, no rights) is found
  // out before anything is fetched.
  sys::PendingFile file(target);

  const auto deadline = Clock::now() + std::chrono::seconds(limits.total_seconds);
  const DWORD stall_ms = static_cast<DWORD>(limits.no_progress_seconds) * 1000;
  // No user agent: the image request carries no header of ours.
  Internet session(WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0));
  Internet connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  Internet request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                      WINHTTP_DEFAULT_ACCEPT_TYPES,
                                      parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
  // Every wait of the transfer gives up after the no-progress span; TLS is
  // verified as WinHTTP always does unless told otherwise, which it never is.
  if (!WinHttpSetTimeouts(request.get(), static_cast<int>(stall_ms), static_cast<int>(stall_ms),
                          static_cast<int>(stall_ms), static_cast<int>(stall_ms))) {
    win32::ThrowLastError("WinHttpSetTimeouts");
  }
  SetDword(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, stall_ms);
  SetDword(request.get(), WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, 10);

  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) return;
  if (!WinHttpReceiveResponse(request.get(), nullptr)) return;

  // An error page is no image.
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    return;
  }
  if (status < 200 || status > 299) return;

  // A declared length says at once whether the body may be taken, and later
  // whether all of it came.
  std::optional<std::uint64_t> declared;
  wchar_t length_text[32];
  DWORD length_size = sizeof length_text;
  if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, length_text,
                          &length_size, WINHTTP_NO_HEADER_INDEX)) {
    wchar_t* end = nullptr;
    unsigned long long n = wcstoull(length_text, &end, 10);
    if (end == length_text || *end != L'\0') return;
    declared = n;
    if (n > limits.max_bytes) return;
  }

  std::vector<char> buffer(64 * 1024);
  std::uint64_t received = 0;
  for (;;) {
    const auto now = Clock::now();
    if (now >= deadline) return;
    // The last read may not run past the deadline either.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    SetDword(request.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT,
             static_cast<DWORD>(std::min<long long>(left, static_cast<long long>(stall_ms))));
    // Wait for some bytes, then read just those: a read of a whole buffer
    // may wait until the buffer is full, which a slow sender can put off for
    // ever while every single byte keeps the no-progress time-out away.
    DWORD ready = 0;
    if (!WinHttpQueryDataAvailable(request.get(), &ready)) return;
    if (ready == 0) break;  // the end of the body
    DWORD got = 0;
    if (!WinHttpReadData(request.get(), buffer.data(),
                         std::min(ready, static_cast<DWORD>(buffer.size())), &got)) {
      return;
    }
    if (got == 0) break;
    received += got;
    if (received > limits.max_bytes) return;
    file.Append(buffer.data(), got);
  }
  if (declared && received != *declared) return;  // the connection ended early
  file.Commit();
}

}  // namespace web

}  // namespace pavo
