// Form1: the program's one window and its three handlers, with the three
// paths the whole run shares.
#pragma once

#include <string>

#include "desktop/window.h"

namespace pavo {

class Form1 : public window::Events {
 public:
  // Written once by Form_Load, only read afterwards.
  std::string ThePath;    // the executable's directory, no trailing separator
  std::string iniFile;    // ThePath + "\cfg.ini"
  std::string TodayFile;  // ThePath + "\img\" + yyyymmdd + ".jpg"

  // Start-up and daily guard; ends the process when today's image is there.
  void Form_Load() override;
  // The daily run, at the first activation; ends the process.
  void Form_Activate() override;
  // Puts the tray icon up and hides the window when it is minimised.
  void Form_Resize() override;

  std::string GetData(std::string StrUrl, std::string StrBianMa);
  std::string GetContent(const std::string& str, const std::string& start,
                         const std::string& last);

 private:
  // Keeps the download as target only when keep accepts it.
  void DownloadFile(std::string address, std::string target, bool (*keep)(const std::string& file));
  void SetWallpaper(const std::string& path);
  // Ends the process; its status tells whether today's image is there.
  [[noreturn]] void End();

  bool running_ = false;
};

}  // namespace pavo
