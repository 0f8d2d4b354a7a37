#include "app/form1.h"

#include <cstdint>

#include "app/delay.h"
#include "app/step.h"
#include "desktop/autostart.h"
#include "desktop/bitmap.h"
#include "desktop/min_to_tray.h"
#include "desktop/wallpaper.h"
#include "desktop/window.h"
#include "settings/ini_file.h"
#include "sys/pending_file.h"
#include "sys/system.h"
#include "web/web.h"

namespace pavo {

namespace {

const char* const kSection = "Config";

// A day's file of this size or less is no picture and is thrown away.
constexpr std::uint64_t kMinImageBytes = 200000;

// The settings a first run writes, in this order.
constexpr IniValue kDefaults[] = {
    {"开机自启动", "0"},
    {"设为壁纸", "1"},
    {"延迟运行", "6"},
    {"域名", PAVO_BASE_URL},
    {"备用域名", PAVO_BACKUP_BASE_URL},
};

// The files the program replaces through pending files, by directory.
bool IsSettingsFile(const std::string& name) { return name == "cfg.ini"; }

bool IsImageFile(const std::string& name) {
  if (name == "WallPaper.bmp") return true;
  // A day's image: eight digits and ".jpg".
  if (name.size() != 12 || !name.ends_with(".jpg")) return false;
  for (std::size_t i = 0; i < 8; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

// A day's file worth keeping: more than 200000 bytes, and a whole picture.
// An error page, or a picture whose transfer broke off unnoticed, would mark
// the day done without a wallpaper, and no later start would try again.
bool IsPicture(const std::string& file) {
  return sys::FileSize(file) > kMinImageBytes && bitmap::IsCompleteJpeg(file);
}

}  // namespace

void Form1::Form_Load() {
  const std::string sep = sys::kSeparator;
  std::string exe_dir;
  std::string autostart_setting;
  std::string ExePath;

  // 1. The executable's directory. Without it every path below would name a
  //    place nobody chose (the root of the file system): the run ends here,
  //    having written nothing.
  if (!Step([&] { exe_dir = sys::ExecutableDirectory(); ThePath = exe_dir; })) window::EndProcess(1);
  // 2. Without its trailing separator (a drive root "D:\" becomes "D:").
  Step([&] {
    if (!exe_dir.empty() && exe_dir.back() == sep.back()) ThePath = exe_dir.substr(0, exe_dir.size() - 1);
  });
  // 3. The image directory.
  if (Holds([&] { return !sys::AnyPathExists(ThePath + sep + "img"); }))
    Step([&] { sys::MakeDirectory(ThePath + sep + "img"); });
  // 4. The settings file.
  Step([&] { iniFile = ThePath + sep + "cfg.ini"; });
  // What a run killed while writing left behind (a download, a bitmap,
  // first-run defaults): no later run would ever finish those files. Those of
  // a copy still at work stay.
  Step([&] { sys::RemoveAbandonedPendingFiles(ThePath + sep + "img", IsImageFile); });
  Step([&] { sys::RemoveAbandonedPendingFiles(ThePath, IsSettingsFile); });
  // 5. First-run defaults, in this order; an existing file is left alone.
  //    They arrive whole or not at all: written beside the settings file and
  //    put in place only once all five are on disk. A half-written file (a
  //    full disk) would otherwise stand for the settings for ever, as an
  //    existing file is never completed.
  if (Holds([&] { return !sys::RegularFileExists(iniFile); })) {
    Step([&] {
      const std::string bytes = NewIniFile(kSection, kDefaults);
      sys::PendingFile defaults(iniFile);
      defaults.Append(bytes.data(), bytes.size());
      defaults.CommitNew();
    });
  }
  // 6. The autostart setting.
  Step([&] { autostart_setting = ReadIniValue(kSection, "开机自启动", iniFile); });
  // 7. The path under which the autostart entry names the program.
  Step([&] { ExePath = sys::ExePathFor(ThePath); });
  // 8. Today's image; the date is taken once, so a run past midnight keeps it.
  Step([&] { TodayFile = ThePath + sep + "img" + sep + sys::LocalDateYyyymmdd() + ".jpg"; });
  // 9. The autostart entry, on every start.
  SyncAutostart(autostart_setting, ExePath);
  // 10. The daily guard: the day's work is done once its image is kept.
  if (Holds([&] { return sys::RegularFileExists(TodayFile); })) End();
}

void Form1::Form_Activate() {
  // The run happens once per process; a later activation does not start it.
  if (running_) return;
  running_ = true;

  const std::string sep = sys::kSeparator;
  std::string bitmap_path;
  std::int32_t delay = 0;
  std::string base_url;
  std::string text;  // the working text: the answer, then the image address

  // 1. Minimise: the resize handling puts the tray icon up and hides the window.
  Step([&] { window::SetState(window::kMinimised); });
  // 2. The bitmap path.
  Step([&] { bitmap_path = ThePath + sep + "img" + sep + "WallPaper.bmp"; });
  // 3. The delay, in milliseconds.
  Step([&] { delay = DelayMilliseconds(ReadIniValue(kSection, "延迟运行", iniFile), sys::DecimalSeparator()); });
  // 4. The base URL, exactly as written.
  Step([&] { base_url = ReadIniValue(kSection, "域名", iniFile); });
  // 5. Wait, keeping the window's messages flowing.
  Step([&] {
    PollingWait(delay, sys::MillisecondCounter, window::DoEvents, window::WaitForMessages);
  });
  // 6. Fetch the metadata of today's image.
  Step([&] { text = GetData(base_url + "/HPImageArchive.aspx?format=js&idx=0&n=1", "utf-8"); });
  // 7. Extract the image address; a failed extraction leaves the answer.
  Step([&] { text = base_url + GetContent(text, "url\":\"", "&"); });
  // 8. Download it; it becomes today's file only once judged a picture
  //    beside it: even for a moment, anything else under that name would
  //    end every later start of the day.
  Step([&] { DownloadFile(text, TodayFile, IsPicture); });
  // 9. Size test, of what today's file holds now; no file at all keeps to
  //    the first branch.
  if (Holds([&] { return IsPicture(TodayFile); })) {
    // 10. Flag test.
    if (Holds([&] { return ReadIniValue(kSection, "设为壁纸", iniFile) == "1"; })) {
      // 11. Convert.
      Step([&] { ConvertToBitmap(TodayFile, bitmap_path); });
      // 12. Apply, also after a failed conversion: an earlier bitmap serves.
      Step([&] { SetWallpaper(bitmap_path); });
    }
  } else {
    // 13. Discard; the next start today tries again. (The download leaves
    //     no file that fails the test: this finds nothing to delete.)
    Step([&] { sys::RemoveFile(TodayFile); });
  }
  // 14. Remove the tray icon.
  Step([] { MinToTray::RemoveIcon(); });
  // 15. End.
  End();
}

// A failure here must not travel back through the window procedure.
void Form1::Form_Resize() { Step([] { MinToTray::Form_Resize(); }); }

std::string Form1::GetData(std::string StrUrl, std::string StrBianMa) {
  return pavo::GetData(StrUrl, StrBianMa, {window::DoEvents, window::WaitForMessages});
}

std::string Form1::GetContent(const std::string& str, const std::string& start, const std::string& last) {
  return pavo::GetContent(str, start, last);
}

void Form1::DownloadFile(std::string address, std::string target, bool (*keep)(const std::string& file)) {
  pavo::DownloadFile(address, target, keep, {window::DoEvents, window::WaitForMessages});
}

void Form1::SetWallpaper(const std::string& path) { pavo::SetWallpaper(path); }

void Form1::End() {
  bool kept = false;
  Step([&] { kept = sys::RegularFileExists(TodayFile); });
  window::EndProcess(kept ? 0 : 1);
}

}  // namespace pavo
