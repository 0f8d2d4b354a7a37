// The XDG autostart entry against real files in a private configuration
// folder: its place, its Exec quoting as a launcher reads it, the decision.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "desktop/autostart.h"
#include "support/scratch.h"

namespace pavo {
namespace {

const char kExe[] = "/home/测试 用户/Pavo壁纸/pavo";

class Autostart : public testing::Test {
 protected:
  void SetUp() override { setenv("HOME", (root_ / "home").c_str(), 1); }  // nothing real is ever touched
  void Use(const std::string& config) { setenv("XDG_CONFIG_HOME", (config_ = root_ / config).c_str(), 1); }
  std::string Entry() const { return config_ + "/autostart/Pavo壁纸.desktop"; }

  // As GLib's launcher reads Exec: the key file's string, %% made a %, split as a shell would
  // (that it takes the entry at all: e2e_run's launch).
  std::vector<std::string> LauncherArgv() const {
    g_autoptr(GKeyFile) kf = g_key_file_new();
    g_autofree char* exec = g_key_file_load_from_file(kf, Entry().c_str(), G_KEY_FILE_NONE, nullptr)
                                ? g_key_file_get_string(kf, "Desktop Entry", "Exec", nullptr)
                                : nullptr;
    std::string line = exec ? exec : "";
    for (std::size_t at = line.find('%'); at != std::string::npos; at = line.find('%', at + 1))
      line.erase(at, line[at + 1] == '%' ? 1 : std::string::npos);
    g_auto(GStrv) parts = nullptr;
    if (!g_shell_parse_argv(line.c_str(), nullptr, &parts, nullptr)) return {};
    return std::vector<std::string>(parts, parts + g_strv_length(parts));
  }

  test::Scratch root_{"pavo-autostart"};
  std::string config_;
};

TEST_F(Autostart, DecisionTableEveryRow) {
  const auto with = [](const std::string& exec, const std::string& extra = "") {
    return "[Desktop Entry]\nType=Application\nName=x\n" + extra + (exec == "-" ? "" : "Exec=" + exec + "\n");
  };
  const std::string exe = kExe, plain = "/usr/local/bin/pavo", canonical = with("\"" + exe + "\"");
  const std::string garbage("\x00\xff\xfe garbage\n=\n[[[", 17);
  enum After { kWritten, kUntouched, kDeleted, kNone };
  struct Row {
    const char* setting;
    std::optional<std::string> planted;  // nullopt: no entry, no folder
    After after;
    std::string exe_path = kExe;
  };
  const char* const kGnomeOff = "X-GNOME-Autostart-enabled=false\n";
  // (An entry made, kept, renamed or removed by the built program: e2e_run.)
  std::vector<Row> rows = {
      {"1", with("\"" + plain + "\""), kUntouched, plain}, {"1", with(plain), kUntouched, plain},
      {"1", garbage, kWritten}, {"1", with("\"/HOME/测试 用户/Pavo壁纸/pavo\""), kWritten}, {"1", with(exe), kWritten},
      {"1", with("\"" + exe + "\" %u"), kWritten}, {"1", with("\"\\\\\"" + exe + "\\\\\"\""), kWritten},  // in quotes
      {"1", with("\"" + exe), kWritten}, {"1", with("/opt/$dir/pavo"), kWritten, "/opt/$dir/pavo"},  // $ unquoted
      {"1", with("\"/opt/`x`/pavo\""), kWritten, "/opt/`x`/pavo"},  // ` unescaped
      {"1", with("\"" + exe + "\"", "Hidden=true\n"), kWritten}, {"1", with("\"" + exe + "\"", kGnomeOff), kWritten},
      // Off: any readable entry with an Exec goes, whatever it names.
      {"0", with(exe + " --flag"), kDeleted}, {"0", with("\"" + exe + "\"", "Hidden=false\n"), kDeleted},
      // Off, and the entry counts as none: it stays.
      {"0", with("\"" + exe + "\"", "Hidden=true\n"), kUntouched}, {"0", garbage, kUntouched},
      {"yes", with("\"" + exe + "\"", kGnomeOff), kUntouched}, {"0", with("-"), kUntouched}, {"", with(""), kUntouched},
      // Neither read nor waited on: no entry; "1" replaces it where it can.
      {"0", "<dir>", kUntouched}, {"1", "<dir>", kUntouched}, {"0", "<fifo>", kUntouched}, {"1", "<fifo>", kWritten},
      {"0", "</dev/zero>", kUntouched}, {"1", "</dev/zero>", kWritten},
      // Refused writes leave the entry: no folder can be made (a file in its place), no path, a path not UTF-8.
      {"1", "<file>", kUntouched}, {"1", with("/opt/old/pavo"), kUntouched, ""},
      {"1", with("/opt/old/pavo"), kUntouched, "/opt/\xff\xfe/pavo"},
  };
  for (const char* off : {"0", "", "01", "yes", "true", " 1", "1 "}) {
    rows.push_back({off, canonical, kDeleted});
    rows.push_back({off, std::nullopt, kNone});
  }
  // Paths a careless quoting would break, each one argument as written and read back (and: e2e_run's launch).
  for (const std::string path :
       {"/srv/back\\slash/pavo", "/tmp/100%/pavo", "/tmp/%f", "/tmp/%%u and more/pavo", "/tmp/`uname`/pavo",
        "/tmp/a;b&c|d<e>f~g*h?i#j(k)l/pavo", "/tmp/tab\there/new\nline/pavo", "/tmp/cr\rhere/p",
        "/tmp/ spaces around /pavo ", "/tmp/trailing\\", "/tmp/\\\"\\$\\`/pavo", "/tmp/a=b/[Desktop Entry]/pavo"})
    rows.push_back({"1", std::nullopt, kWritten, path});
  const mode_t mask = umask(0);  // whatever the umask, nobody else may change what starts
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "setting \"" << row.setting << "\", entry " << row.planted.value_or("(none)")
                                    << ", program " << row.exe_path);
    Use("config" + std::to_string(n++));
    if (row.planted == "<file>") {
      test::Put(config_, "x");
    } else if (row.planted) {
      fs::create_directories(config_ + "/autostart");
      if (*row.planted == "<dir>") fs::create_directory(Entry());
      else if (*row.planted == "<fifo>") mkfifo(Entry().c_str(), 0600);
      else if (*row.planted == "</dev/zero>") fs::create_symlink("/dev/zero", Entry());
      else test::Put(Entry(), *row.planted);
    }
    struct stat before {}, now {};
    lstat(Entry().c_str(), &before);
    SyncAutostart(row.setting, row.exe_path);
    lstat(Entry().c_str(), &now);
    if (row.after == kWritten) {
      EXPECT_EQ(LauncherArgv(), std::vector<std::string>{row.exe_path});
      EXPECT_EQ(autostart::Read(), row.exe_path);
      EXPECT_NE(now.st_ino, before.st_ino) << "a new file";
      EXPECT_EQ(now.st_mode & 0022, 0u);
    } else if (row.after == kUntouched) {
      EXPECT_EQ(std::tuple(now.st_ino, now.st_mtim.tv_nsec, now.st_size),
                std::tuple(before.st_ino, before.st_mtim.tv_nsec, before.st_size));
    } else {
      EXPECT_FALSE(fs::exists(Entry()));
      EXPECT_EQ(fs::exists(config_), row.after == kDeleted) << "only the entry goes; nothing is made";
    }
    if (fs::exists(Entry())) EXPECT_EQ(test::Names(config_ + "/autostart"), std::vector<std::string>{"Pavo壁纸.desktop"});
  }
  umask(mask);
  // The entry's place where XDG_CONFIG_HOME is not an absolute path (every row above: one that is).
  for (const char* value : {static_cast<const char*>(nullptr), "", "relative/config"}) {
    value ? setenv("XDG_CONFIG_HOME", value, 1) : unsetenv("XDG_CONFIG_HOME");
    SyncAutostart("1", kExe);
    EXPECT_TRUE(fs::is_regular_file(root_ / "home/.config/autostart/Pavo壁纸.desktop")) << (value ? value : "unset");
    fs::remove_all(root_ / "home");
  }
}

}  // namespace
}  // namespace pavo
