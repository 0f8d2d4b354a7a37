// The XDG autostart entry: where it lives, how a path survives its Exec
// quoting, and every row of the decision table against real files in a
// temporary configuration directory.
#include <dirent.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "desktop/autostart.h"
#include "sys/failure.h"

namespace pavo {
namespace {

const std::string kFileName = std::string(kAutostartName) + ".desktop";

// Keeps one environment variable as it was before the test.
class SavedEnv {
 public:
  explicit SavedEnv(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) value_ = v;
  }
  ~SavedEnv() {
    if (value_) setenv(name_, value_->c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> value_;
};

bool Exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

std::string Slurp(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Spit(const std::string& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << p;
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

class Autostart : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pavo-autostart-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    // A home that is not the tester's, so nothing real is ever touched even
    // if a case falls back to it.
    home_ = root_ + "/home";
    ASSERT_EQ(mkdir(home_.c_str(), 0700), 0);
    setenv("HOME", home_.c_str(), 1);
    UseConfig(root_ + "/config");
  }
  void TearDown() override {
    std::string cmd = "chmod -R u+rwx '" + root_ + "' 2>/dev/null; rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }

  // Points XDG_CONFIG_HOME at a fresh directory that does not exist yet.
  void UseConfig(const std::string& dir) {
    config_ = dir;
    setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
  }
  std::string Dir() const { return config_ + "/autostart"; }
  std::string Entry() const { return Dir() + "/" + kFileName; }
  void Plant(const std::string& bytes) {
    ASSERT_EQ(g_mkdir_with_parents(Dir().c_str(), 0700), 0);
    Spit(Entry(), bytes);
  }

  SavedEnv saved_home_{"HOME"};
  SavedEnv saved_xdg_{"XDG_CONFIG_HOME"};
  std::string root_, home_, config_;
};

// The Exec line as a launcher sees it: the key file's string unescaped, the
// one field code %% made a %, then split by shell-like quoting (what GLib's
// own launcher does). Independent of the code under test.
std::vector<std::string> LauncherArgv(const std::string& entry_file) {
  GKeyFile* kf = g_key_file_new();
  std::vector<std::string> argv;
  if (g_key_file_load_from_file(kf, entry_file.c_str(), G_KEY_FILE_NONE, nullptr)) {
    if (char* exec = g_key_file_get_string(kf, "Desktop Entry", "Exec", nullptr)) {
      std::string line;
      bool ok = true;
      for (const char* c = exec; *c; ++c) {
        if (*c != '%') {
          line += *c;
        } else if (c[1] == '%') {
          line += '%';
          ++c;
        } else {
          ok = false;  // a field code: not a bare path
        }
      }
      gchar** parts = nullptr;
      if (ok && g_shell_parse_argv(line.c_str(), nullptr, &parts, nullptr)) {
        for (gchar** p = parts; *p; ++p) argv.push_back(*p);
        g_strfreev(parts);
      }
      g_free(exec);
    }
  }
  g_key_file_free(kf);
  return argv;
}

std::string ExecLine(const std::string& entry_file) {
  std::istringstream in(Slurp(entry_file));
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Exec=", 0) == 0) return line;
  return "";
}

TEST_F(Autostart, TrickyPathsSurviveTheRoundTripAndLaunchAsOneArgument) {
  struct Case {
    std::string path;
    const char* exec_line;  // the exact line in the file, when it matters
  };
  const Case cases[] = {
      {"/usr/local/bin/pavo", "Exec=/usr/local/bin/pavo"},
      {"/opt/my apps/pavo", "Exec=\"/opt/my apps/pavo\""},
      // Backslash: escaped by the quoting, then again by the key file.
      {"/srv/back\\slash/pavo", "Exec=\"/srv/back\\\\\\\\slash/pavo\""},
      {"/home/u/$HOME/pavo", "Exec=\"/home/u/\\\\$HOME/pavo\""},
      {"/tmp/100%/pavo", "Exec=/tmp/100%%/pavo"},
      {"/tmp/it's \"quoted\"/pavo", nullptr},
      {"/tmp/%f", "Exec=/tmp/%%f"},
      {"/tmp/%%u and more/pavo", "Exec=\"/tmp/%%%%u and more/pavo\""},
      {"/home/用户/Pavo壁纸/pavo", "Exec=/home/用户/Pavo壁纸/pavo"},
      {"/tmp/`uname`/pavo", nullptr},
      {"/tmp/a;b&c|d<e>f~g*h?i#j(k)l/pavo", nullptr},
      {"/tmp/tab\there/new\nline/pavo", nullptr},
      {"/tmp/cr\rhere/pavo", nullptr},
      {"/tmp/ spaces around /pavo ", nullptr},
      {"/tmp/trailing\\", nullptr},
      {"/tmp/\\\"\\$\\`/pavo", nullptr},
      {"/tmp/a=b/[Desktop Entry]/pavo", nullptr},
      {"/tmp/中文 路径/$(rm -rf ~)/%U/壁纸.exe", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    autostart::Write(c.path);
    EXPECT_EQ(autostart::Read(), c.path);
    if (c.exec_line) {
      EXPECT_EQ(ExecLine(Entry()), c.exec_line);
    }
    EXPECT_EQ(LauncherArgv(Entry()), std::vector<std::string>{c.path});
  }
  // Replaced through a file beside it: nothing but the entry is left.
  EXPECT_EQ(Names(Dir()), std::vector<std::string>{kFileName});
}

TEST_F(Autostart, WrittenEntryIsAnApplicationTheSessionStarts) {
  // Whatever the umask, nobody else may change what starts at log-on.
  const mode_t old_mask = umask(0);
  autostart::Write("/opt/pavo/pavo");
  umask(old_mask);
  GKeyFile* kf = g_key_file_new();
  ASSERT_TRUE(g_key_file_load_from_file(kf, Entry().c_str(), G_KEY_FILE_NONE, nullptr));
  auto get = [&](const char* key) {
    char* v = g_key_file_get_string(kf, "Desktop Entry", key, nullptr);
    std::string s = v ? v : "<absent>";
    g_free(v);
    return s;
  };
  char* first = g_key_file_get_start_group(kf);
  EXPECT_STREQ(first, "Desktop Entry");
  g_free(first);
  EXPECT_EQ(get("Type"), "Application");
  EXPECT_EQ(get("Name"), "Pavo壁纸");
  EXPECT_EQ(get("Exec"), "/opt/pavo/pavo");
  EXPECT_EQ(get("Hidden"), "<absent>");
  EXPECT_EQ(get("X-GNOME-Autostart-enabled"), "true");
  g_key_file_free(kf);
  struct stat st;
  ASSERT_EQ(stat(Entry().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0022, 0u);
}

TEST_F(Autostart, EntryLivesUnderTheUsersConfigurationDirectory) {
  struct Case {
    std::optional<std::string> xdg;  // nullopt: unset
    std::string expected_config;
  };
  const std::string home_config = home_ + "/.config";
  const Case cases[] = {
      {root_ + "/xdg", root_ + "/xdg"},
      {std::nullopt, home_config},
      {"", home_config},
      {"relative/config", home_config},  // relative values are invalid
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xdg.value_or("<unset>"));
    if (c.xdg) setenv("XDG_CONFIG_HOME", c.xdg->c_str(), 1);
    else unsetenv("XDG_CONFIG_HOME");
    const std::string file = c.expected_config + "/autostart/" + kFileName;
    ASSERT_FALSE(Exists(file));
    autostart::Write("/opt/pavo/pavo");
    EXPECT_TRUE(Exists(file));
    EXPECT_EQ(autostart::Read(), "/opt/pavo/pavo");
    autostart::Delete();
    EXPECT_FALSE(Exists(file));
    EXPECT_THROW(autostart::Read(), Failure);
  }
}

// What a row expects of the entry file after SyncAutostart.
enum class After {
  kWritten,    // (re)written: decodes to ExePath, a fresh file
  kUntouched,  // the same file, byte for byte, never rewritten
  kDeleted,    // gone
  kNone,       // there was none, and neither it nor its directory appears
};

TEST_F(Autostart, DecisionTableEveryRow) {
  const std::string exe = "/home/测试 用户/Pavo壁纸/pavo";
  const std::string plain_exe = "/usr/local/bin/pavo";
  const std::string canonical = "[Desktop Entry]\nType=Application\nName=Pavo壁纸\nExec=\"" + exe + "\"\n";
  auto with_exec = [](const std::string& exec_value, const std::string& extra = "") {
    return "[Desktop Entry]\nType=Application\nName=x\n" + extra + "Exec=" + exec_value + "\n";
  };
  struct Row {
    const char* setting;
    std::optional<std::string> planted;  // nullopt: no entry, no directory
    After after;
    std::string exe_path;
  };
  const std::vector<Row> rows = {
      // On, no entry: created (and its missing directories with it).
      {"1", std::nullopt, After::kWritten, exe},
      // On, entry equal to ExePath: nothing is written.
      {"1", canonical, After::kUntouched, exe},
      {"1", with_exec("\"" + plain_exe + "\""), After::kUntouched, plain_exe},  // needless but valid quotes
      {"1", with_exec(plain_exe), After::kUntouched, plain_exe},
      // On, anything else: overwritten.
      {"1", with_exec("/opt/elsewhere/pavo"), After::kWritten, exe},
      {"1", with_exec("\"/HOME/测试 用户/Pavo壁纸/pavo\""), After::kWritten, exe},  // other letter case
      {"1", with_exec("\"/home/测试 用户/pavo壁纸/PAVO\""), After::kWritten, exe},
      {"1", with_exec("\"\\\\\"" + exe + "\\\\\"\""), After::kWritten, exe},  // the path in quotation marks
      {"1", with_exec("'" + exe + "'"), After::kWritten, exe},                  // single quotes are no quoting
      {"1", with_exec(exe), After::kWritten, exe},  // unquoted: two arguments, though the text equals ExePath
      // A reserved character left unquoted: not a valid Exec, though the
      // text equals ExePath; rewritten as the format requires.
      {"1", with_exec("/opt/$dir/pavo"), After::kWritten, "/opt/$dir/pavo"},
      {"1", with_exec("\"" + exe + "\" --minimized"), After::kWritten, exe},
      {"1", with_exec("\"" + exe + "\" %u"), After::kWritten, exe},
      {"1", with_exec("\"" + exe), After::kWritten, exe},  // unterminated
      {"1", with_exec("\"" + exe + "\"", "Hidden=true\n"), After::kWritten, exe},
      {"1", with_exec("\"" + exe + "\"", "X-GNOME-Autostart-enabled=false\n"), After::kWritten, exe},
      {"1", "[Desktop Entry]\nType=Application\nName=x\n", After::kWritten, exe},  // no Exec
      {"1", with_exec(""), After::kWritten, exe},
      {"1", "[Other]\nExec=\"" + exe + "\"\n", After::kWritten, exe},
      {"1", std::string("\x00\xff\xfe garbage\n=\n[[[", 17), After::kWritten, exe},
      {"1", "", After::kWritten, exe},
      // Off: any readable, non-empty entry goes, whatever it names.
      {"0", canonical, After::kDeleted, exe},
      {"", canonical, After::kDeleted, exe},
      {"01", canonical, After::kDeleted, exe},
      {"yes", canonical, After::kDeleted, exe},
      {"true", canonical, After::kDeleted, exe},
      {" 1", canonical, After::kDeleted, exe},
      {"1 ", canonical, After::kDeleted, exe},
      {"0", with_exec("/opt/elsewhere/pavo"), After::kDeleted, exe},
      {"0", with_exec(exe + " --flag"), After::kDeleted, exe},
      {"0", with_exec("\"" + exe + "\"", "Hidden=false\n"), After::kDeleted, exe},
      // Off, and the entry counts as "": it stays as it is.
      {"0", with_exec("\"" + exe + "\"", "Hidden=true\n"), After::kUntouched, exe},
      {"yes", with_exec("\"" + exe + "\"", "X-GNOME-Autostart-enabled=false\n"), After::kUntouched, exe},
      {"0", "[Desktop Entry]\nType=Application\nName=x\n", After::kUntouched, exe},
      {"", with_exec(""), After::kUntouched, exe},
      {"0", std::string("\x00\xff\xfe garbage\n=\n[[[", 17), After::kUntouched, exe},
      // Off, no entry: nothing appears, not even the directory.
      {"0", std::nullopt, After::kNone, exe},
      {"", std::nullopt, After::kNone, exe},
      {"true", std::nullopt, After::kNone, exe},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "row " << n << ": setting \"" << row.setting << "\", entry "
                                    << (row.planted ? "\"" + *row.planted + "\"" : "<none>"));
    UseConfig(root_ + "/config" + std::to_string(n++));
    struct stat before {};
    if (row.planted) {
      Plant(*row.planted);
      ASSERT_EQ(stat(Entry().c_str(), &before), 0);
    }
    SyncAutostart(row.setting, row.exe_path);
    struct stat now {};
    const bool present = stat(Entry().c_str(), &now) == 0;
    switch (row.after) {
      case After::kWritten:
        ASSERT_TRUE(present);
        EXPECT_EQ(autostart::Read(), row.exe_path);
        EXPECT_EQ(LauncherArgv(Entry()), std::vector<std::string>{row.exe_path});
        if (row.planted) EXPECT_NE(now.st_ino, before.st_ino) << "replaced by a new file";
        EXPECT_EQ(Names(Dir()), std::vector<std::string>{kFileName});
        break;
      case After::kUntouched:
        ASSERT_TRUE(present);
        EXPECT_EQ(Slurp(Entry()), *row.planted);
        EXPECT_EQ(now.st_ino, before.st_ino);
        EXPECT_EQ(now.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(now.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_EQ(Names(Dir()), std::vector<std::string>{kFileName});
        break;
      case After::kDeleted:
        EXPECT_FALSE(present);
        EXPECT_TRUE(Exists(Dir())) << "only the entry goes";
        break;
      case After::kNone:
        EXPECT_FALSE(present);
        EXPECT_FALSE(Exists(config_)) << "nothing is created when autostart is off";
        break;
    }
  }
}

TEST_F(Autostart, AnEntryThatCannotBeReadCountsAsNoneAndNeverHangs) {
  const std::string exe = "/opt/pavo/pavo";
  // A directory of the entry's name: unreadable, and it cannot be replaced
  // or deleted by the entry's operations either.
  ASSERT_EQ(g_mkdir_with_parents(Entry().c_str(), 0700), 0);
  EXPECT_THROW(autostart::Read(), Failure);
  SyncAutostart("0", exe);
  SyncAutostart("1", exe);
  struct stat st;
  ASSERT_EQ(stat(Entry().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_EQ(rmdir(Entry().c_str()), 0);

  // A FIFO: reading must not wait for a writer that never comes.
  ASSERT_EQ(mkfifo(Entry().c_str(), 0600), 0);
  EXPECT_THROW(autostart::Read(), Failure);
  SyncAutostart("0", exe);
  ASSERT_EQ(lstat(Entry().c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "counts as no entry, so it stays";
  SyncAutostart("1", exe);
  EXPECT_EQ(autostart::Read(), exe) << "replaced by a real entry";

  // A symbolic link to a device that never ends.
  ASSERT_EQ(unlink(Entry().c_str()), 0);
  ASSERT_EQ(symlink("/dev/zero", Entry().c_str()), 0);
  EXPECT_THROW(autostart::Read(), Failure);
  SyncAutostart("1", exe);
  ASSERT_EQ(lstat(Entry().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(autostart::Read(), exe);

  // A file without read permission (root reads it anyway, so only for
  // ordinary users).
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(Entry().c_str(), 0), 0);
    EXPECT_THROW(autostart::Read(), Failure);
    SyncAutostart("0", exe);
    EXPECT_TRUE(Exists(Entry()));
    SyncAutostart("1", exe);
    EXPECT_EQ(autostart::Read(), exe);
  }
}

TEST_F(Autostart, RefusedWritesAndDeletesFailAndLeaveTheEntryAsItWas) {
  // Deleting an entry that is not there fails (SyncAutostart never asks to).
  EXPECT_THROW(autostart::Delete(), Failure);

  // A configuration directory that cannot be created: a file in its place.
  Spit(root_ + "/blocker", "x");
  UseConfig(root_ + "/blocker/config");
  EXPECT_THROW(autostart::Write("/opt/pavo/pavo"), Failure);
  SyncAutostart("1", "/opt/pavo/pavo");
  EXPECT_FALSE(Exists(Dir()));

  // No path (its own step failed) or one a desktop entry cannot hold: the
  // entry there stays as it was.
  UseConfig(root_ + "/config-kept");
  autostart::Write("/opt/old/pavo");
  const std::string kept = Slurp(Entry());
  EXPECT_THROW(autostart::Write(""), Failure);
  EXPECT_THROW(autostart::Write("/opt/\xff\xfe/pavo"), Failure);
  SyncAutostart("1", "");
  EXPECT_EQ(Slurp(Entry()), kept);
  EXPECT_EQ(autostart::Read(), "/opt/old/pavo");
}

}  // namespace
}  // namespace pavo
