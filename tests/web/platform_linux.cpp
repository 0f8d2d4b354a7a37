#include "web/platform.h"

#include <glib.h>
#include <sys/resource.h>

namespace webtest {

const bool kNetworkFailureEndsFetchAtOnce = true;
const bool kFetchStopsEndlessAnswer = true;
const bool kComponentStopsRedirectLoop = true;
const bool kDownloadSeesCutChunkedBody = true;
const bool kTextFollowsDeclaredCharset = true;

namespace {
int g_ticks = 0;
guint g_source = 0;
}  // namespace

void InitThread() {}

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void StartTicker(unsigned interval_ms) {
  g_ticks = 0;
  g_source = g_timeout_add(interval_ms, [](gpointer) -> gboolean {
    ++g_ticks;
    return G_SOURCE_CONTINUE;
  }, nullptr);
}

int Ticks() { return g_ticks; }

void StopTicker() {
  if (g_source) g_source_remove(g_source);
  g_source = 0;
}

}  // namespace webtest
