// The Linux wallpaper setter's own decisions: which desktop, which file
// name the desktop is given and which names are tidied away, how the path is
// carried into a script or a command, and the bounded child process.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "desktop/set_wallpaper_linux.h"
#include "sys/failure.h"
#include "sys/glib_wait_linux.h"

namespace fs = std::filesystem;
using namespace pavo::wallpaper_linux;

namespace {

TEST(ChooseDesktop, FromTheSessionsDesktopList) {
  struct Case {
    const char* current;
    const char* swaysock;
    std::string expected;  // the desktop's own name, the first of its row
  } cases[] = {
      {"GNOME", nullptr, "gnome"},
      {"ubuntu:GNOME", nullptr, "gnome"},
      {"Budgie:GNOME", nullptr, "gnome"},
      {"GNOME-Classic:GNOME", nullptr, "gnome"},
      {"gnome", nullptr, "gnome"},
      {"X-Cinnamon", nullptr, "x-cinnamon"},
      {"MATE", nullptr, "mate"},
      {"UKUI", nullptr, "mate"},
      {"XFCE", nullptr, "xfce"},
      {"KDE", nullptr, "kde"},
      {"kde", nullptr, "kde"},
      {"LXQt", nullptr, "lxqt"},
      {"LXDE", nullptr, "lxde"},
      {"sway", nullptr, "sway"},
      // The first name the program knows wins.
      {"Unknown:XFCE:GNOME", nullptr, "xfce"},
      {"::KDE", nullptr, "kde"},
      // Only whole names count.
      {"GNOMEX", nullptr, "none"},
      {"KDE5", nullptr, "none"},
      {"", nullptr, "none"},
      {nullptr, nullptr, "none"},
      {"Hyprland", nullptr, "none"},
      // sway is also known by its socket, when the list names nothing known.
      {nullptr, "/run/user/1000/sway-ipc.sock", "sway"},
      {"", "/run/user/1000/sway-ipc.sock", "sway"},
      {"KDE", "/run/user/1000/sway-ipc.sock", "kde"},
      {nullptr, "", "none"},
  };
  for (const Case& c : cases) {
    const Desktop* desktop = ChooseDesktop(c.current, c.swaysock);
    EXPECT_EQ(desktop ? desktop->names[0] : "none", c.expected)
        << "XDG_CURRENT_DESKTOP=" << (c.current ? c.current : "(unset)")
        << " SWAYSOCK=" << (c.swaysock ? c.swaysock : "(unset)");
  }
}

class ShownNames : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pavo-shown-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    bitmap_ = (dir_ / "WallPaper.bmp").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Writes the bitmap the way the conversion does (a new file renamed over
  // the old one) with the given modification time.
  void WriteBitmap(const std::string& content, long seconds, long nanoseconds = 0) {
    const std::string part = bitmap_ + ".new";
    std::ofstream(part, std::ios::binary) << content;
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, part.c_str(), times, 0), 0);
    fs::rename(part, bitmap_);
  }

  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.insert(entry.path().filename().string());
    return names;
  }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  static bool SameInode(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_ino == sb.st_ino && sa.st_dev == sb.st_dev;
  }

  fs::path dir_;
  std::string bitmap_;
};

TEST_F(ShownNames, EachBitmapGetsANameOfItsOwnAndTheDesktopsOldNameGoesOnceTaken) {
  WriteBitmap("day one", 1700000000, 5);
  bool created = false;
  const std::string first = ShownName(bitmap_, &created);
  EXPECT_TRUE(created);
  EXPECT_EQ(fs::path(first).filename(), "WallPaper-1700000000000000005.bmp");
  EXPECT_EQ(fs::path(first).parent_path(), dir_);
  EXPECT_TRUE(SameInode(first, bitmap_)) << "a second name of the same file, not a copy";

  // Asked again for the same bitmap: the same name, nothing new made.
  EXPECT_EQ(ShownName(bitmap_, &created), first);
  EXPECT_FALSE(created);
  TidyShownNames(bitmap_, first, false, Outcome::kTaken);

  // The next day's bitmap gets another name; the first keeps day one's
  // picture until the desktop has taken the new name.
  WriteBitmap("day two", 1700086400);
  const std::string second = ShownName(bitmap_, &created);
  EXPECT_TRUE(created);
  EXPECT_NE(second, first);
  EXPECT_EQ(Read(second), "day two");
  EXPECT_EQ(Read(first), "day one");
  TidyShownNames(bitmap_, second, created, Outcome::kTaken);
  EXPECT_EQ(Names(), (std::set<std::string>{"WallPaper.bmp", fs::path(second).filename().string()}));
}

TEST_F(ShownNames, TidyingDependsOnWhatTheDesktopAnswered) {
  // Three days' names lie beside the bitmap, with files that only look alike.
  for (long day = 0; day < 3; ++day) {
    WriteBitmap("day " + std::to_string(day), 1700000000 + day * 86400);
    ShownName(bitmap_);
  }
  for (const char* name : {"WallPaper-notes.bmp", "WallPaper-12.jpg", "WallPaper-.bmp", "Other-12.bmp",
                           "WallPaper-12.bmp.bak", "20240101.jpg"})
    std::ofstream(dir_ / name) << "keep";
  std::ofstream(dir_ / "WallPaper-1600000000000000000.bmp.part") << "left by an interrupted copy";
  const std::set<std::string> unrelated = {"WallPaper-notes.bmp", "WallPaper-12.jpg", "WallPaper-.bmp",
                                           "Other-12.bmp", "WallPaper-12.bmp.bak", "20240101.jpg", "WallPaper.bmp"};
  const std::string day2 = "WallPaper-1700172800000000000.bmp";
  ASSERT_TRUE(Names().count(day2));

  WriteBitmap("day 3", 1700000000 + 3 * 86400);
  bool created = false;
  const std::string day3 = ShownName(bitmap_, &created);
  ASSERT_TRUE(created);

  // Nothing reached the desktop: the name made for it goes, the rest stays.
  auto before = Names();
  TidyShownNames(bitmap_, day3, created, Outcome::kNotAsked);
  before.erase(fs::path(day3).filename().string());
  EXPECT_EQ(Names(), before);

  // Unsure: the new name and the newest earlier one stay (the desktop may
  // name either); older names and leftovers go.
  ShownName(bitmap_, &created);
  TidyShownNames(bitmap_, day3, created, Outcome::kUnsure);
  auto expected = unrelated;
  expected.insert(day2);
  expected.insert(fs::path(day3).filename().string());
  EXPECT_EQ(Names(), expected);

  // Taken: only the new name stays beside the bitmap.
  TidyShownNames(bitmap_, day3, false, Outcome::kTaken);
  expected.erase(day2);
  EXPECT_EQ(Names(), expected);

  // A name the desktop already had is never removed as "not asked".
  TidyShownNames(bitmap_, day3, false, Outcome::kNotAsked);
  EXPECT_TRUE(fs::exists(day3));
}

TEST_F(ShownNames, AStaleFileUnderTheNameIsReplaced) {
  WriteBitmap("the real picture", 1700000000);
  const std::string name = (dir_ / "WallPaper-1700000000000000000.bmp").string();
  std::ofstream(name) << "something else";
  bool created = true;
  EXPECT_EQ(ShownName(bitmap_, &created), name);
  EXPECT_FALSE(created) << "the name was there before";
  EXPECT_EQ(Read(name), "the real picture");
}

TEST_F(ShownNames, NoBitmapNoName) {
  EXPECT_THROW(ShownName(bitmap_), pavo::Failure);
  fs::create_directory(bitmap_);
  EXPECT_THROW(ShownName(bitmap_), pavo::Failure);
  EXPECT_EQ(Names(), (std::set<std::string>{"WallPaper.bmp"}));
}

TEST_F(ShownNames, ANameThatCannotBeMadeIsAFailure) {
  // The temporary name is taken by a directory that cannot be replaced.
  WriteBitmap("x", 1700000000);
  fs::create_directories(dir_ / "WallPaper-1700000000000000000.bmp.part" / "inside");
  EXPECT_THROW(ShownName(bitmap_), pavo::Failure);
  EXPECT_FALSE(fs::exists(dir_ / "WallPaper-1700000000000000000.bmp"));
}

TEST(PlasmaScript, CarriesTheUriAsAnAsciiStringLiteral) {
  const std::string uri = "file:///home/u/a%20b/WallPaper-1.bmp";
  const std::string script = PlasmaScript(uri);
  EXPECT_NE(script.find("var uri = \"file:///home/u/a%20b/WallPaper-1.bmp\";"), std::string::npos) << script;
  // Characters that could end the literal or the script come as escapes.
  const std::string hostile = "file:///x/\"'\\\n</script>;${a}`b`\xe5\xa3\x81.bmp";
  const std::string escaped = PlasmaScript(hostile);
  const std::size_t start = escaped.find("var uri = \"") + 11;
  const std::size_t end = escaped.find("\";", start);
  const std::string literal = escaped.substr(start, end - start);
  EXPECT_EQ(literal,
            "file:///x/\\u0022\\u0027\\u005c\\u000a\\u003c/script\\u003e\\u003b\\u0024\\u007ba\\u007d\\u0060b\\u0060"
            "\\u00e5\\u00a3\\u0081.bmp");
  for (char c : escaped) EXPECT_TRUE(static_cast<unsigned char>(c) < 0x80);
}

TEST(SwayCommand, QuotesThePathOrRefusesIt) {
  EXPECT_EQ(SwayCommand("/home/u/img/WallPaper-1.bmp"), "output * bg \"/home/u/img/WallPaper-1.bmp\" fill");
  EXPECT_EQ(SwayCommand("/home/u/my pictures/壁纸.bmp"), "output * bg \"/home/u/my pictures/壁纸.bmp\" fill");
  for (const char* path : {"/a\"b.bmp", "/a'b.bmp", "/a\\b.bmp", "/$HOME/b.bmp", "/`id`.bmp", "/a;exit.bmp",
                           "/a,b.bmp", "/a*.bmp", "/a?.bmp", "/a[1].bmp", "/a{b}.bmp", "/a(b).bmp", "/a|b.bmp",
                           "/a&b.bmp", "/a<b.bmp", "/a#b.bmp", "/~/b.bmp", "/a\nb.bmp", "/a\tb.bmp"})
    EXPECT_FALSE(SwayCommand(path).has_value()) << path;
}

TEST(RunBounded, ExitStatusMissingProgramAndTimeOut) {
  using pavo::sys::RunBounded;
  const char* ok[] = {"true", nullptr};
  EXPECT_TRUE(RunBounded(ok, 5000));
  const char* fails[] = {"false", nullptr};
  EXPECT_FALSE(RunBounded(fails, 5000));
  const char* missing[] = {"pavo-no-such-program-anywhere", nullptr};
  EXPECT_THROW(RunBounded(missing, 5000), pavo::Failure);

  // The arguments arrive as given, with no shell in between.
  char pattern[] = "/tmp/pavo-argv-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string marker = dir + "/touched";
  const std::string tricky = "a b;touch " + marker + " $(touch " + marker + ")";
  const char* check[] = {"sh", "-c", "test \"$1\" = \"$2\"", "sh", tricky.c_str(), tricky.c_str(), nullptr};
  EXPECT_TRUE(RunBounded(check, 5000));
  EXPECT_FALSE(fs::exists(marker));

  // A child that does not end is killed once its time is up.
  const std::string pid_file = dir + "/pid";
  const std::string script = "echo $$ > " + pid_file + "; exec sleep 60";
  const char* hang[] = {"sh", "-c", script.c_str(), nullptr};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(RunBounded(hang, 500));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(3));
  std::ifstream in(pid_file);
  pid_t pid = 0;
  in >> pid;
  ASSERT_GT(pid, 0);
  EXPECT_NE(kill(pid, 0), 0) << "the child still runs";
  fs::remove_all(dir);
}

}  // namespace
