// The autostart entry as an XDG autostart file of the current user,
// $XDG_CONFIG_HOME/autostart/Pavo壁纸.desktop: the desktop's session starts
// the program its Exec key names at each log-on, as Windows does with a
// value under the Run key.
//
// Exec holds the path as one argument, quoted by the rules of desktop entry
// files. Reading decodes it by the same rules; an Exec that is not exactly
// one well-formed argument cannot name ExePath, so it reads as a text that
// never equals a path (and is still "not empty", so switching autostart off
// removes it).
#include <glib.h>
#include <glib/gstdio.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "desktop/autostart.h"
#include "sys/errno_linux.h"
#include "sys/scoped_glib_linux.h"
#include "sys/system.h"

namespace pavo::autostart {

using sys::ThrowErrno;

namespace {

const char* const kGroup = "Desktop Entry";

// An autostart entry is a few hundred bytes; anything far larger is not one,
// and reading it whole must not eat the machine.
constexpr size_t kMaxEntrySize = 1 << 20;

[[noreturn]] void ThrowGError(const std::string& what, const glib::Error& error) {
  throw Failure(what + ": " + (error.get() ? error.get()->message : "unknown error"));
}

// The user's configuration directory, looked up on every call (the tests and
// a changed environment must be seen, so nothing is cached).
std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  // A relative or empty value is invalid and ignored, as the base directory
  // rules say.
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home && home[0] != '\0') return std::string(home) + "/.config";
  struct passwd* pw = getpwuid(getuid());
  if (!pw || !pw->pw_dir || pw->pw_dir[0] == '\0') throw Failure("no home directory");
  return std::string(pw->pw_dir) + "/.config";
}

std::string AutostartDirectory() { return ConfigHome() + "/autostart"; }

std::string EntryPath() { return AutostartDirectory() + "/" + kAutostartName + ".desktop"; }

// The characters that make an Exec argument need quotation marks.
bool IsReserved(char c) {
  return std::string_view(" \t\n\"'\\><~|&;$*?#()`").find(c) != std::string_view::npos;
}

// Inside quotation marks these four are written with a backslash before them.
bool NeedsEscapeInQuotes(char c) { return c == '"' || c == '`' || c == '$' || c == '\\'; }

// One argument of an Exec line, quoted only when it must be.
std::string QuoteExecArgument(const std::string& arg) {
  bool quote = false;
  for (char c : arg)
    if (IsReserved(c)) quote = true;
  std::string out;
  if (quote) out += '"';
  for (char c : arg) {
    if (c == '%') {
      out += "%%";  // a lone % would start a field code
    } else {
      if (quote && NeedsEscapeInQuotes(c)) out += '\\';
      out += c;
    }
  }
  if (quote) out += '"';
  return out;
}

// The path an Exec line names, when it is exactly one well-formed argument
// without field codes. Anything else (more arguments, a field code such as
// %u, an unquoted reserved character, a stray quotation mark or backslash)
// gives false.
bool DecodeSingleArgument(const std::string& exec, std::string* out) {
  size_t i = 0, n = exec.size();
  auto is_blank = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
  while (i < n && is_blank(exec[i])) ++i;
  if (i == n) return false;
  std::string arg;
  // A literal %, written %%, is the one field code a path may hold, quoted
  // or not.
  auto take_percent = [&]() {
    if (i + 1 < n && exec[i + 1] == '%') {
      arg += '%';
      i += 2;
      return true;
    }
    return false;
  };
  if (exec[i] == '"') {
    ++i;
    for (;;) {
      if (i == n) return false;  // no closing quotation mark
      char c = exec[i];
      if (c == '"') {
        ++i;
        break;
      }
      if (c == '\\') {
        if (i + 1 == n || !NeedsEscapeInQuotes(exec[i + 1])) return false;
        arg += exec[i + 1];
        i += 2;
      } else if (c == '`' || c == '$') {
        return false;  // must be escaped inside quotation marks
      } else if (c == '%') {
        if (!take_percent()) return false;
      } else {
        arg += c;
        ++i;
      }
    }
  } else {
    while (i < n && !is_blank(exec[i])) {
      char c = exec[i];
      if (IsReserved(c)) return false;  // must have been quoted
      if (c == '%') {
        if (!take_percent()) return false;
      } else {
        arg += c;
        ++i;
      }
    }
  }
  while (i < n && is_blank(exec[i])) ++i;
  if (i != n) return false;  // a second argument
  *out = std::move(arg);
  return true;
}

// The entry file's bytes; only an ordinary file is read, so a FIFO or a
// device of that name cannot hang the start.
std::string ReadEntryBytes(const std::string& path) {
  sys::FileStart entry = sys::ReadCapped(path, kMaxEntrySize);
  if (!entry.whole) throw Failure("the autostart entry is too large");
  return std::move(entry.bytes);
}

// A boolean key, with its default when absent or not a boolean.
bool BooleanKey(GKeyFile* kf, const char* key, bool fallback) {
  glib::Error error;
  const gboolean value = g_key_file_get_boolean(kf, kGroup, key, error.put());
  return error.get() ? fallback : value != FALSE;
}

}  // namespace

std::string Read() {
  const std::string bytes = ReadEntryBytes(EntryPath());
  const glib::KeyFile kf(g_key_file_new());
  glib::Error error;
  if (!g_key_file_load_from_data(kf.get(), bytes.data(), bytes.size(), G_KEY_FILE_NONE, error.put()))
    ThrowGError("the autostart entry is not a desktop entry", error);
  // An entry the user switched off is no entry: desktops skip it.
  if (BooleanKey(kf.get(), "Hidden", false)) throw Failure("the autostart entry is hidden");
  if (!BooleanKey(kf.get(), "X-GNOME-Autostart-enabled", true)) throw Failure("the autostart entry is disabled");
  const glib::Chars exec(g_key_file_get_string(kf.get(), kGroup, "Exec", error.put()));
  if (!exec) ThrowGError("the autostart entry has no Exec", error);
  const std::string command = exec.get();
  if (command.find_first_not_of(" \t\n") == std::string::npos) throw Failure("the autostart entry has no Exec");
  std::string path;
  if (DecodeSingleArgument(command, &path)) return path;
  // Not one path: the line as written, which can never equal an absolute
  // path because of its key name.
  return "Exec=" + command;
}

void Write(const std::string& exe_path) {
  // An entry must name a program, in UTF-8 as the format requires.
  if (exe_path.empty()) throw Failure("no program path for the autostart entry");
  if (!g_utf8_validate(exe_path.data(), static_cast<gssize>(exe_path.size()), nullptr))
    throw Failure("the program path is not UTF-8");

  const glib::KeyFile kf(g_key_file_new());
  g_key_file_set_string(kf.get(), kGroup, "Type", "Application");
  g_key_file_set_string(kf.get(), kGroup, "Name", kAutostartName);
  g_key_file_set_string(kf.get(), kGroup, "Exec", QuoteExecArgument(exe_path).c_str());
  g_key_file_set_boolean(kf.get(), kGroup, "Terminal", FALSE);
  g_key_file_set_boolean(kf.get(), kGroup, "X-GNOME-Autostart-enabled", TRUE);
  gsize size = 0;
  const glib::Chars data(g_key_file_to_data(kf.get(), &size, nullptr));
  if (!data) throw Failure("cannot compose the autostart entry");

  const std::string dir = AutostartDirectory();
  if (g_mkdir_with_parents(dir.c_str(), 0700) != 0) ThrowErrno("cannot create " + dir);
  // Written beside the old entry and renamed over it, so a desktop never
  // sees half an entry (GLib 2.64's g_file_set_contents does so). It makes
  // the file as the umask allows (0666 less it): while it writes, the umask
  // also withholds the write permission from others, whatever the user's
  // umask is. (The first call's mask only ever withholds more.)
  const mode_t user_mask = ::umask(0077);
  ::umask(user_mask | 0022);
  glib::Error error;
  const bool written = g_file_set_contents(EntryPath().c_str(), data.get(), static_cast<gssize>(size), error.put());
  ::umask(user_mask);
  if (!written)
    ThrowGError("cannot write the autostart entry", error);
}

void Delete() {
  if (::unlink(EntryPath().c_str()) != 0) ThrowErrno("cannot delete the autostart entry");
}

}  // namespace pavo::autostart
