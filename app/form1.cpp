#include "app/form1.h"

#include "app/step.h"
#include "app/system.h"
#include "desktop/autostart.h"
#include "desktop/window.h"
#include "settings/ini_file.h"

namespace pavo {

namespace {
const char* const kSection = "Config";
}  // namespace

void Form1::Form_Load() {
  const std::string sep = sys::kSeparator;
  std::string exe_dir;
  std::string autostart_setting;
  std::string ExePath;

  // 1. The executable's directory.
  Step([&] { exe_dir = sys::ExecutableDirectory(); ThePath = exe_dir; });
  // 2. Without its trailing separator (a drive root "D:\" becomes "D:").
  Step([&] {
    if (!exe_dir.empty() && exe_dir.back() == sep.back()) ThePath = exe_dir.substr(0, exe_dir.size() - 1);
  });
  // 3. The image directory.
  if (Holds([&] { return !sys::AnyPathExists(ThePath + sep + "img"); }))
    Step([&] { sys::MakeDirectory(ThePath + sep + "img"); });
  // 4. The settings file.
  Step([&] { iniFile = ThePath + sep + "cfg.ini"; });
  // 5. First-run defaults, in this order; an existing file is left alone.
  if (Holds([&] { return !sys::RegularFileExists(iniFile); })) {
    Step([&] { WriteIniValue(kSection, "开机自启动", "0", iniFile); });
    Step([&] { WriteIniValue(kSection, "设为壁纸", "1", iniFile); });
    Step([&] { WriteIniValue(kSection, "延迟运行", "6", iniFile); });
    Step([&] { WriteIniValue(kSection, "域名", PAVO_BASE_URL, iniFile); });
    Step([&] { WriteIniValue(kSection, "备用域名", PAVO_BACKUP_BASE_URL, iniFile); });
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
  // The daily run is not built yet: the start-up alone ends here.
  if (running_) return;
  running_ = true;
  End();
}

void Form1::Form_Resize() {}

void Form1::End() {
  bool kept = false;
  Step([&] { kept = sys::RegularFileExists(TodayFile); });
  window::EndProcess(kept ? 0 : 1);
}

}  // namespace pavo
