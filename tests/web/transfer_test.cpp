// What the built program cannot show of the transfers: the decoding of a declared
// character set, the messages while the fetch waits, the download's time limit
// shortened, a body cut short refused before it is judged. Against the image service of tests/e2e/harness.py serve.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#else
#include <glib.h>
#endif

#include "desktop/window.h"
#include "support/scratch.h"
#include "web/web.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kWallpaper = "壁纸";

int g_ticks = 0;  // advances only while the thread dispatches its messages

// One transfer a row: the fetch's or the download's (its limits), the text the fetch gives (a download here keeps
// none), and the seconds it may take.
TEST(Transfer, EachGivesWhatItShouldWithinItsTime) {
#ifdef _WIN32
  // The window host's thread is a single-threaded apartment, as here.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  SetTimer(nullptr, 0, 200, [](HWND, UINT, UINT_PTR, DWORD) { ++g_ticks; });
#else
  g_timeout_add(200, [](gpointer) -> gboolean { return ++g_ticks, G_SOURCE_CONTINUE; }, nullptr);
#endif
  std::string port;
  std::ifstream("service/port") >> port;
  ASSERT_FALSE(port.empty()) << "no image service: run through harness.py serve";
  for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"gbk.txt", "\xB1\xDA\xD6\xBD"},
       {"utf8.txt", kWallpaper}, {"bom.txt", "\xEF\xBB\xBF" + kWallpaper}, {"body.jpg", std::string(1000, 'a')}})
    pavo::test::Put("service/images/" + name, bytes);
  const pavo::DownloadLimits kTotal{30, 3, 1 << 20};
  const struct {
    const char* path;
    bool fetch;  // else a download
    std::string want;
    pavo::DownloadLimits limits = {};
    double at_least = 0, at_most = 5;
  } cases[] = {
      // The fetch asks for UTF-8, as the run does; a declared character set decides.
      {"/images/utf8.txt", true, kWallpaper}, {"/images/bom.txt", true, kWallpaper},
      {"/mode/charset-GBK/images/gbk.txt", true, kWallpaper},
      {"/mode/charset-no-such-charset/images/utf8.txt", true, ""},
      // A trickling answer: the fetch's time-out counts from the request, not from the last byte, while the messages
      // go on. 10 to 11 s after the request; up to 1 s more to send it and end the transfer on two shared cores.
      {"/mode/trickle/images/body.jpg", true, "", {}, 10.0, 12.0},
      // The download's total limit (less 0.1 s for the coarse ticks of a clock), also while the headers are awaited
      // and across redirects. (The time without progress, a body without end or past the size limit, every download
      // that is kept: the fault and run tables' rows, at the program's own limits.)
      {"/mode/trickle/images/body.jpg", false, "", kTotal, 2.9, 4.5},
      {"/mode/late-10/images/utf8.txt", false, "", kTotal, 2.9, 4.5},
      {"/mode/slow-redirects-10/images/utf8.txt", false, "", kTotal, 2.9, 4.5},
      // A body cut before its declared length is refused here, not only by the picture check after it.
      {"/mode/cut/images/body.jpg", false, "", {}, 0, 2},
#ifndef _WIN32
      // Wine's WinINet reports a chunked body without its last chunk as whole.
      {"/mode/cut-chunked/images/body.jpg", false, "", {}, 0, 2},
#endif
  };
  const pavo::MessagePump pump{pavo::window::DoEvents, pavo::window::WaitForMessages};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + (c.fetch ? " fetched" : " downloaded"));
    pavo::test::Scratch dir("pavo-transfer");
    const std::string url = "http://127.0.0.1:" + port + c.path;
    g_ticks = 0;
    const auto t0 = Clock::now();
    // A download's judgement lets all through. (What one refuses, judged under its pending name: the run and fault
    // tables' rows of what is no picture.)
    if (c.fetch) EXPECT_EQ(pavo::GetData(url, "utf-8", pump), c.want);
    else pavo::DownloadFile(url, dir / "day.jpg", [](const std::string&) { return true; }, pump, c.limits);
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_GT(took, c.at_least);
    EXPECT_LE(took, c.at_most);
    if (c.fetch) EXPECT_GE(g_ticks, static_cast<int>(2.5 * c.at_least)) << "the messages stood still";
    EXPECT_EQ(pavo::test::Names(dir.dir()).size(), 0u) << "a file is left";
  }
}

}  // namespace
