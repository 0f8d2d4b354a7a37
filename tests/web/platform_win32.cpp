#include "web/platform.h"

#include <windows.h>
#include <objbase.h>

namespace webtest {

const bool kNetworkFailureEndsFetchAtOnce = false;
const bool kFetchStopsEndlessAnswer = false;
const bool kComponentStopsRedirectLoop = false;
const bool kDownloadSeesCutChunkedBody = false;
const bool kTextFollowsDeclaredCharset = false;

namespace {
int g_ticks = 0;
UINT_PTR g_timer = 0;
void CALLBACK OnTick(HWND, UINT, UINT_PTR, DWORD) { ++g_ticks; }
}  // namespace

// The window host makes its thread a single-threaded apartment, where the
// request component's asynchronous work moves on only through messages.
void InitThread() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
  auto seconds = [](const FILETIME& f) {
    ULARGE_INTEGER v;
    v.LowPart = f.dwLowDateTime;
    v.HighPart = f.dwHighDateTime;
    return static_cast<double>(v.QuadPart) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

void StartTicker(unsigned interval_ms) {
  g_ticks = 0;
  g_timer = SetTimer(nullptr, 0, interval_ms, OnTick);
}

int Ticks() { return g_ticks; }

void StopTicker() {
  if (g_timer) KillTimer(nullptr, g_timer);
  g_timer = 0;
}

}  // namespace webtest
