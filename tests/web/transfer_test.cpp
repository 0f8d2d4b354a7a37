// What the built program cannot show of the transfers (the end-to-end tables
// show the rest): the text's decoding for each character set, the thread's
// messages while the fetch waits, and the download's limits, shortened so
// that no test waits minutes. Against the local image service, run natively
// on 127.0.0.1 (also for the Windows programs under Wine) by
// tests/e2e/harness.py serve, which leaves its port in service/port.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#else
#include <glib.h>
#include <sys/resource.h>
#endif

#include "desktop/window.h"
#include "web/transfer.h"
#include "web/web.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
const std::string kWallpaper = "壁纸";

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// A tick that only advances while the thread dispatches its messages, and
// the process's processor time.
int g_ticks = 0;
#ifdef _WIN32
void StartTicker() {
  // The window host's thread is a single-threaded apartment, as here.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  SetTimer(nullptr, 0, 200, [](HWND, UINT, UINT_PTR, DWORD) { ++g_ticks; });
}
double CpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  return (ULARGE_INTEGER{{kernel.dwLowDateTime, kernel.dwHighDateTime}}.QuadPart +
          ULARGE_INTEGER{{user.dwLowDateTime, user.dwHighDateTime}}.QuadPart) / 1e7;
}
#else
void StartTicker() {
  g_timeout_add(200, [](gpointer) -> gboolean { return ++g_ticks, G_SOURCE_CONTINUE; }, nullptr);
}
double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
#endif

class Transfer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    StartTicker();
    std::ifstream("service/port") >> port_;
    for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"gbk.txt", "\xB1\xDA\xD6\xBD"},
                                      {"utf8.txt", kWallpaper},
                                      {"bom.txt", "\xEF\xBB\xBF" + kWallpaper},
                                      {"limit1000.jpg", std::string(1000, 'a')},
                                      {"limit1001.jpg", std::string(1001, 'b')}}) {
      std::ofstream("service/images/" + name, std::ios::binary) << bytes;
    }
  }
  void SetUp() override {
    ASSERT_FALSE(port_.empty()) << "no image service: run through tests/e2e/harness.py serve";
    fs::remove_all("scratch");
    fs::create_directory("scratch");
  }
  static std::string Url(const std::string& path) { return "http://127.0.0.1:" + port_ + path; }
  static std::string Fetch(const std::string& path, const std::string& selector) {
    return pavo::GetData(Url(path), selector, {pavo::window::DoEvents, pavo::window::WaitForMessages});
  }
  static inline std::string port_;
};

TEST_F(Transfer, OnlyExactlyGbkDecodesAsGbkAndADeclaredCharacterSetDecides) {
  const struct {
    const char *path, *selector;
    std::string text;
  } cases[] = {
      {"/images/gbk.txt", "gbk", kWallpaper},
      {"/images/utf8.txt", "utf-8", kWallpaper},
      {"/images/utf8.txt", "GBK", kWallpaper},
      {"/images/utf8.txt", "gb2312", kWallpaper},
      {"/images/utf8.txt", "", kWallpaper},
      {"/images/utf8.txt", "gbk", "澹佺焊"},
      // As UTF-8 the last two bytes happen to be one character.
      {"/images/gbk.txt", "Gbk", "\xEF\xBF\xBD\xEF\xBF\xBD\xD6\xBD"},
#ifndef _WIN32
      // Wine's request component reads every answer as UTF-8 and keeps a
      // byte-order mark in the text.
      {"/images/bom.txt", "utf-8", kWallpaper},
      {"/mode/charset-GBK/images/gbk.txt", "utf-8", kWallpaper},
      {"/mode/charset-utf-8/images/gbk.txt", "gbk", kWallpaper},
      {"/mode/charset-no-such-charset/images/utf8.txt", "utf-8", ""},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " as " + c.selector);
    EXPECT_EQ(Fetch(c.path, c.selector), c.text);
  }
}

TEST_F(Transfer, TheFetchWaitsAsleepWhileTheMessagesGoOn) {
  g_ticks = 0;
  const double cpu0 = CpuSeconds();
  const auto t0 = Clock::now();
  EXPECT_EQ(Fetch("/mode/trickle/images/limit1000.jpg", "utf-8"), "");
  const double wall = Since(t0), cpu = CpuSeconds() - cpu0;
  // More than 10 whole seconds after the request went out, and a little slack.
  EXPECT_GT(wall, 10.0);
  EXPECT_LE(wall, 11.25);
  EXPECT_LT(cpu, 0.1 * wall);
  EXPECT_GE(g_ticks, 25);
}

TEST_F(Transfer, DownloadsStopAtTheirLimits) {
  const std::uint64_t kMiB = 1 << 20;
  const struct {
    const char* path;
    pavo::web::DownloadLimits limits;
    bool kept;
    double at_least, at_most;
  } cases[] = {
      {"/mode/hang/images/utf8.txt", {2, 60, kMiB}, false, 2.0, 3.5},
      {"/mode/trickle/images/limit1000.jpg", {30, 3, kMiB}, false, 3.0, 4.5},
      // The total limit holds while the headers are awaited and across redirects.
      {"/mode/late-10/images/utf8.txt", {30, 3, kMiB}, false, 3.0, 4.5},
      {"/mode/slow-redirects-10/images/utf8.txt", {30, 3, kMiB}, false, 3.0, 4.5},
      {"/images/limit1000.jpg", {30, 60, 1000}, true, 0, 2},
      {"/images/limit1001.jpg", {30, 60, 1000}, false, 0, 2},
      {"/mode/chunked/images/limit1000.jpg", {30, 60, 1000}, true, 0, 2},
      {"/mode/chunked/images/limit1001.jpg", {30, 60, 1000}, false, 0, 2},
      // A body that ends before its declared length is refused here, not
      // only by the picture check after it.
      {"/mode/cut/images/limit1000.jpg", {30, 60, kMiB}, false, 0, 2},
#ifndef _WIN32
      // Wine's WinINet reports a chunked body without its last chunk as whole.
      {"/mode/cut-chunked/images/limit1000.jpg", {30, 60, kMiB}, false, 0, 2},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    fs::remove_all("scratch/day.jpg");
    const auto t0 = Clock::now();
    pavo::web::DownloadFileWithin(Url(c.path), "scratch/day.jpg", c.limits);
    const double took = Since(t0);
    EXPECT_GE(took, c.at_least - 0.1);
    EXPECT_LE(took, c.at_most);
    EXPECT_EQ(fs::exists("scratch/day.jpg"), c.kept);
    EXPECT_EQ(std::distance(fs::directory_iterator("scratch"), {}), c.kept ? 1 : 0) << "a pending file is left";
    if (c.kept) EXPECT_EQ(fs::file_size("scratch/day.jpg"), 1000u);
  }
}

}  // namespace
