#include "desktop/shown_name_linux.h"

#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "sys/failure.h"
#include "sys/scoped_glib_linux.h"

namespace pavo::wallpaper_linux {

namespace {

struct Split {
  std::string dir, stem, ext;
};

Split SplitPath(const std::string& path) {
  Split s;
  const std::size_t slash = path.rfind('/');
  s.dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = base.rfind('.');
  if (dot == std::string::npos || dot == 0) {
    s.stem = base;
  } else {
    s.stem = base.substr(0, dot);
    s.ext = base.substr(dot);
  }
  return s;
}

std::string Join(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

// A name ShownName makes: "<stem>-<stamp><ext>", or its pending form
// "<stem>-<stamp><ext>.part-<pid>". The stamp is a time as Stamp writes it:
// seconds without leading zeros, then nine digits of nanoseconds. Any other
// name (a user's "<stem>-2024<ext>") is not ours.
bool IsShownName(const std::string& name, const Split& s) {
  const std::string prefix = s.stem + "-";
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  const std::size_t start = prefix.size();
  const std::size_t end = std::min(name.find_first_not_of("0123456789", start), name.size());
  if (end - start < 10 || (name[start] == '0' && end - start > 10)) return false;
  const std::string rest = name.substr(end);
  return rest == s.ext || rest.starts_with(s.ext + ".part-");
}

std::string Stamp(const struct timespec& time) {
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%lld%09ld", time.tv_sec < 0 ? 0LL : static_cast<long long>(time.tv_sec),
                static_cast<long>(time.tv_nsec));
  return stamp;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  if (a.st_dev == b.st_dev && a.st_ino == b.st_ino) return true;
  // A copy made where links are refused keeps the bitmap's size and time.
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool CopyFile(const std::string& from, const std::string& to) {
  const glib::Object<GFile> source(g_file_new_for_path(from.c_str())), target(g_file_new_for_path(to.c_str()));
  return g_file_copy(source.get(), target.get(),
                     static_cast<GFileCopyFlags>(G_FILE_COPY_OVERWRITE | G_FILE_COPY_ALL_METADATA), nullptr,
                     nullptr, nullptr, nullptr);
}

}  // namespace

std::string ShownName(const std::string& bitmap_path, bool* created) {
  if (created) *created = false;
  struct stat bitmap {};
  if (stat(bitmap_path.c_str(), &bitmap) != 0 || !S_ISREG(bitmap.st_mode)) throw Failure("no bitmap");
  const Split s = SplitPath(bitmap_path);
  const std::string shown = Join(s.dir, s.stem + "-" + Stamp(bitmap.st_mtim) + s.ext);

  struct stat existing {};
  const bool exists = lstat(shown.c_str(), &existing) == 0;
  if (exists && S_ISREG(existing.st_mode) && SameFile(existing, bitmap)) return shown;

  // Made under a temporary name of this process and renamed, so the name
  // never holds half a file and two copies at work never share one.
  const std::string part = shown + ".part-" + std::to_string(getpid());
  unlink(part.c_str());
  if ((link(bitmap_path.c_str(), part.c_str()) != 0 && !CopyFile(bitmap_path, part)) ||
      rename(part.c_str(), shown.c_str()) != 0) {
    unlink(part.c_str());
    throw Failure("cannot make a second name for the bitmap");
  }
  if (created) *created = !exists;
  return shown;
}

void TidyShownNames(const std::string& bitmap_path, const std::string& shown, bool created, Outcome outcome) {
  const Split s = SplitPath(bitmap_path);
  const std::string shown_name = shown.substr(shown.rfind('/') + 1);
  if (outcome == Outcome::kNotAsked) {
    if (created && IsShownName(shown_name, s)) unlink(shown.c_str());
    return;
  }
  const glib::Dir dir(g_dir_open(s.dir.c_str(), 0, nullptr));
  if (!dir) return;
  std::vector<std::string> others;
  while (const gchar* entry = g_dir_read_name(dir.get())) {
    const std::string name = entry;
    if (name != shown_name && IsShownName(name, s)) others.push_back(name);
  }
  std::string newest;  // the latest complete name; its digits are a time
  if (outcome == Outcome::kUnsure) {
    for (const std::string& name : others) {
      if (name.find(".part-") != std::string::npos) continue;
      if (newest.empty() || name.size() > newest.size() || (name.size() == newest.size() && name > newest))
        newest = name;
    }
  }
  for (const std::string& name : others)
    if (name != newest) unlink(Join(s.dir, name).c_str());
}

}  // namespace pavo::wallpaper_linux
