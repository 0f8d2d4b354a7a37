// The wallpaper on the common Linux desktops. Each desktop keeps the choice
// in its own settings; this finds out which desktop the user runs and asks it
// in its own way. A desktop that is not recognised, absent or silent is left
// as it is, like a refused request on Windows; every request is bounded in
// time.
#include "desktop/set_wallpaper_linux.h"

#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <initializer_list>
#include <memory>
#include <thread>
#include <vector>

#include "app/step.h"
#include "desktop/glib_wait_linux.h"
#include "desktop/session_bus_linux.h"
#include "desktop/wallpaper.h"

namespace pavo {

namespace wallpaper_linux {

namespace {

// A desktop gets this long to take the new wallpaper.
constexpr unsigned kDesktopTimeoutMs = 5000;

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

Desktop FromName(const std::string& name) {
  const std::string n = Lower(name);
  if (n == "budgie" || n == "gnome" || n == "ubuntu") return Desktop::kGnome;
  if (n == "x-cinnamon" || n == "cinnamon") return Desktop::kCinnamon;
  // UKUI's desktop reads its picture from MATE's settings key.
  if (n == "mate" || n == "ukui") return Desktop::kMate;
  if (n == "xfce") return Desktop::kXfce;
  if (n == "kde") return Desktop::kKde;
  if (n == "lxqt") return Desktop::kLxqt;
  if (n == "lxde") return Desktop::kLxde;
  if (n == "sway") return Desktop::kSway;
  return Desktop::kNone;
}

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

// "<stem>-<digits><ext>", optionally followed by ".part".
bool IsShownName(const std::string& name, const Split& s) {
  const std::string prefix = s.stem + "-";
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  std::size_t i = prefix.size();
  const std::size_t digits_start = i;
  while (i < name.size() && name[i] >= '0' && name[i] <= '9') ++i;
  if (i == digits_start) return false;
  const std::string rest = name.substr(i);
  return rest == s.ext || rest == s.ext + ".part";
}

bool SameFile(const struct stat& a, const struct stat& b) {
  if (a.st_dev == b.st_dev && a.st_ino == b.st_ino) return true;
  // A copy made where links are refused keeps the bitmap's size and time.
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool CopyFile(const std::string& from, const std::string& to) {
  GFile* source = g_file_new_for_path(from.c_str());
  GFile* target = g_file_new_for_path(to.c_str());
  const gboolean ok = g_file_copy(source, target,
                                  static_cast<GFileCopyFlags>(G_FILE_COPY_OVERWRITE | G_FILE_COPY_ALL_METADATA),
                                  nullptr, nullptr, nullptr, nullptr);
  g_object_unref(source);
  g_object_unref(target);
  return ok;
}

}  // namespace

Desktop ChooseDesktop(const char* current_desktop, const char* swaysock) {
  if (current_desktop) {
    const std::string list = current_desktop;
    std::size_t start = 0;
    while (start <= list.size()) {
      std::size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      const Desktop d = FromName(list.substr(start, end - start));
      if (d != Desktop::kNone) return d;
      start = end + 1;
    }
  }
  if (swaysock && *swaysock) return Desktop::kSway;
  return Desktop::kNone;
}

std::string ShownName(const std::string& bitmap_path, bool* created) {
  if (created) *created = false;
  struct stat bitmap {};
  if (stat(bitmap_path.c_str(), &bitmap) != 0 || !S_ISREG(bitmap.st_mode)) throw Failure("no bitmap");
  const Split s = SplitPath(bitmap_path);
  const long long seconds = bitmap.st_mtim.tv_sec < 0 ? 0 : static_cast<long long>(bitmap.st_mtim.tv_sec);
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%lld%09ld", seconds, static_cast<long>(bitmap.st_mtim.tv_nsec));
  const std::string shown = Join(s.dir, s.stem + "-" + stamp + s.ext);

  struct stat existing {};
  const bool exists = lstat(shown.c_str(), &existing) == 0;
  if (exists && S_ISREG(existing.st_mode) && SameFile(existing, bitmap)) return shown;

  // Made under a temporary name and renamed, so the name never holds half a
  // file.
  const std::string part = shown + ".part";
  unlink(part.c_str());
  if (link(bitmap_path.c_str(), part.c_str()) != 0 && !CopyFile(bitmap_path, part)) {
    unlink(part.c_str());
    throw Failure("cannot make a second name for the bitmap");
  }
  if (rename(part.c_str(), shown.c_str()) != 0) {
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
  GDir* dir = g_dir_open(s.dir.c_str(), 0, nullptr);
  if (!dir) return;
  std::vector<std::string> others;
  while (const gchar* entry = g_dir_read_name(dir)) {
    const std::string name = entry;
    if (name != shown_name && IsShownName(name, s)) others.push_back(name);
  }
  g_dir_close(dir);
  std::string newest;  // the latest complete name; its digits are a time
  if (outcome == Outcome::kUnsure) {
    for (const std::string& name : others) {
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0) continue;
      if (newest.empty() || name.size() > newest.size() || (name.size() == newest.size() && name > newest))
        newest = name;
    }
  }
  for (const std::string& name : others)
    if (name != newest) unlink(Join(s.dir, name).c_str());
}

std::string PlasmaScript(const std::string& file_uri) {
  std::string literal;
  for (unsigned char c : file_uri) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                       c == ':' || c == '.' || c == '_' || c == '-' || c == '%';
    if (plain) {
      literal += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      literal += escaped;
    }
  }
  // Every desktop of every activity, each once.
  return "(function () {\n"
         "  var uri = \"" + literal + "\";\n"
         "  var seen = {};\n"
         "  var all = [];\n"
         "  function take(list) {\n"
         "    for (var i = 0; list && i < list.length; i++) {\n"
         "      var d = list[i];\n"
         "      if (d.id === undefined || !seen[d.id]) { seen[d.id] = true; all.push(d); }\n"
         "    }\n"
         "  }\n"
         "  take(desktops());\n"
         "  if (typeof activities === \"function\" && typeof desktopsForActivity === \"function\") {\n"
         "    var ids = activities();\n"
         "    for (var j = 0; j < ids.length; j++) take(desktopsForActivity(ids[j]));\n"
         "  }\n"
         "  for (var k = 0; k < all.length; k++) {\n"
         "    all[k].wallpaperPlugin = \"org.kde.image\";\n"
         "    all[k].currentConfigGroup = [\"Wallpaper\", \"org.kde.image\", \"General\"];\n"
         "    all[k].writeConfig(\"Image\", uri);\n"
         "  }\n"
         "})();\n";
}

std::optional<std::string> SwayCommand(const std::string& path) {
  // The command line is split on spaces, quotes group words, and the file
  // name is expanded like a shell word: anything that could be read as
  // quoting, expansion, a pattern or a command separator is refused.
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f) return std::nullopt;
    if (std::string("\"'\\$`*?[]{}()|&;<>#,~").find(static_cast<char>(c)) != std::string::npos) return std::nullopt;
  }
  return "output * bg \"" + path + "\" fill";
}

Outcome RunBounded(const char* const* argv, unsigned timeout_ms) {
  GSubprocess* child = g_subprocess_newv(
      argv, static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_SILENCE | G_SUBPROCESS_FLAGS_STDERR_SILENCE),
      nullptr);
  if (!child) return Outcome::kNotAsked;

  // The wait is collected on a context of our own: nothing else of the
  // program runs while the child works.
  struct Wait {
    bool done = false;
    bool abandoned = false;
  };
  auto* wait = new Wait;
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  g_subprocess_wait_async(
      child, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        auto* w = static_cast<Wait*>(data);
        g_subprocess_wait_finish(G_SUBPROCESS(source), result, nullptr);
        if (w->abandoned) {
          delete w;
          return;
        }
        w->done = true;
      },
      wait);

  IterateUntil(context, wait->done, timeout_ms);
  if (!wait->done) {
    g_subprocess_force_exit(child);
    IterateUntil(context, wait->done, 1000);  // reaping a killed child takes a moment
  }

  const Outcome outcome =
      wait->done && g_subprocess_get_if_exited(child) && g_subprocess_get_exit_status(child) == 0 ? Outcome::kTaken
                                                                                                  : Outcome::kUnsure;
  if (wait->done) {
    delete wait;
  } else {
    wait->abandoned = true;
  }
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  g_object_unref(child);
  return outcome;
}

}  // namespace wallpaper_linux

namespace {

using namespace wallpaper_linux;

using Clock = std::chrono::steady_clock;

// What is left of the desktop's time, for the next request.
int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Writes still queued for the settings daemon are waited for, but not for
// ever: a daemon that does not answer must not hold the run.
bool SyncSettings(unsigned timeout_ms) {
  auto synced = std::make_shared<std::promise<void>>();
  std::future<void> done = synced->get_future();
  std::thread([synced] {
    g_settings_sync();
    synced->set_value();
  }).detach();
  return done.wait_for(std::chrono::milliseconds(timeout_ms)) == std::future_status::ready;
}

// Sets the string keys of a GSettings schema that it has. A schema that is
// not installed, or a key of another type, is passed over in silence.
Outcome SetSettingStrings(const char* schema_id, std::initializer_list<const char*> keys, const std::string& value) {
  if (value.empty() || !g_utf8_validate(value.c_str(), -1, nullptr)) return Outcome::kNotAsked;
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  if (!source) return Outcome::kNotAsked;
  GSettingsSchema* schema = g_settings_schema_source_lookup(source, schema_id, TRUE);
  if (!schema) return Outcome::kNotAsked;
  if (!g_settings_schema_get_path(schema)) {
    g_settings_schema_unref(schema);
    return Outcome::kNotAsked;
  }
  GSettings* settings = g_settings_new_full(schema, nullptr, nullptr);
  int written = 0;
  for (const char* key : keys) {
    if (!g_settings_schema_has_key(schema, key)) continue;
    GSettingsSchemaKey* info = g_settings_schema_get_key(schema, key);
    GVariant* text = g_variant_ref_sink(g_variant_new_string(value.c_str()));
    if (g_variant_type_equal(g_settings_schema_key_get_value_type(info), G_VARIANT_TYPE_STRING) &&
        g_settings_schema_key_range_check(info, text) && g_settings_set_value(settings, key, text))
      ++written;
    g_variant_unref(text);
    g_settings_schema_key_unref(info);
  }
  Outcome outcome = Outcome::kNotAsked;
  if (written > 0) outcome = SyncSettings(kDesktopTimeoutMs) ? Outcome::kTaken : Outcome::kUnsure;
  g_object_unref(settings);
  g_settings_schema_unref(schema);
  return outcome;
}

// No one on the bus under that name: the request reached no desktop.
bool NobodyThere(const GError* error) {
  return g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER);
}

Outcome ApplyXfce(const std::string& path) {
  if (!g_utf8_validate(path.c_str(), -1, nullptr)) return Outcome::kNotAsked;
  GDBusConnection* bus = session_bus::Get();
  if (!bus) return Outcome::kNotAsked;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kDesktopTimeoutMs);
  GError* error = nullptr;
  GVariant* all = g_dbus_connection_call_sync(
      bus, "org.xfce.Xfconf", "/org/xfce/Xfconf", "org.xfce.Xfconf", "GetAllProperties",
      g_variant_new("(ss)", "xfce4-desktop", "/backdrop"), G_VARIANT_TYPE("(a{sv})"), G_DBUS_CALL_FLAGS_NONE,
      RemainingMs(deadline), nullptr, &error);
  if (!all) {
    // Only read so far: whatever the answer, nothing was set.
    g_clear_error(&error);
    return Outcome::kNotAsked;
  }
  // Every monitor and workspace has its own image property; the older
  // desktop keeps one per monitor under another name.
  std::vector<std::string> names;
  GVariantIter* iter = nullptr;
  g_variant_get(all, "(a{sv})", &iter);
  const gchar* name = nullptr;
  GVariant* value = nullptr;
  while (g_variant_iter_loop(iter, "{&sv}", &name, &value)) {
    const std::string n = name;
    const auto ends_with = [&n](const std::string& tail) {
      return n.size() >= tail.size() && n.compare(n.size() - tail.size(), tail.size(), tail) == 0;
    };
    if ((ends_with("/last-image") || ends_with("/image-path")) && g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
      names.push_back(n);
  }
  g_variant_iter_free(iter);
  g_variant_unref(all);
  if (names.empty()) return Outcome::kNotAsked;

  int taken = 0;
  for (const std::string& property : names) {
    const int left = RemainingMs(deadline);
    if (left == 0) break;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.xfce.Xfconf", "/org/xfce/Xfconf", "org.xfce.Xfconf", "SetProperty",
        g_variant_new("(ssv)", "xfce4-desktop", property.c_str(), g_variant_new_string(path.c_str())), nullptr,
        G_DBUS_CALL_FLAGS_NONE, left, nullptr, nullptr);
    if (reply) {
      g_variant_unref(reply);
      ++taken;
    }
  }
  return taken == static_cast<int>(names.size()) ? Outcome::kTaken : Outcome::kUnsure;
}

Outcome ApplyPlasma(const std::string& uri) {
  GDBusConnection* bus = session_bus::Get();
  if (!bus) return Outcome::kNotAsked;
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.kde.plasmashell", "/PlasmaShell", "org.kde.PlasmaShell", "evaluateScript",
      g_variant_new("(s)", PlasmaScript(uri).c_str()), nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, kDesktopTimeoutMs,
      nullptr, &error);
  if (reply) {
    g_variant_unref(reply);
    return Outcome::kTaken;
  }
  const bool nobody = NobodyThere(error);
  g_clear_error(&error);
  return nobody ? Outcome::kNotAsked : Outcome::kUnsure;
}

Outcome Run(std::initializer_list<const char*> args) {
  std::vector<const char*> argv(args);
  argv.push_back(nullptr);
  return RunBounded(argv.data(), kDesktopTimeoutMs);
}

// The absolute form of path, "" when there is none.
std::string Absolute(const std::string& path) {
  if (path.empty()) return "";
  gchar* absolute = g_canonicalize_filename(path.c_str(), nullptr);
  std::string result = absolute ? absolute : "";
  g_free(absolute);
  return result;
}

std::string FileUri(const std::string& absolute_path) {
  gchar* uri = g_filename_to_uri(absolute_path.c_str(), nullptr, nullptr);
  std::string result = uri ? uri : "";
  g_free(uri);
  return result;
}

Outcome Apply(Desktop desktop, const std::string& path) {
  const std::string uri = FileUri(path);
  switch (desktop) {
    case Desktop::kGnome:
      return SetSettingStrings("org.gnome.desktop.background", {"picture-uri", "picture-uri-dark"}, uri);
    case Desktop::kCinnamon:
      return SetSettingStrings("org.cinnamon.desktop.background", {"picture-uri"}, uri);
    case Desktop::kMate:
      return SetSettingStrings("org.mate.background", {"picture-filename"}, path);
    case Desktop::kXfce:
      return ApplyXfce(path);
    case Desktop::kKde:
      return uri.empty() ? Outcome::kNotAsked : ApplyPlasma(uri);
    case Desktop::kLxqt:
      return Run({"pcmanfm-qt", "--set-wallpaper", path.c_str()});
    case Desktop::kLxde:
      return Run({"pcmanfm", "--set-wallpaper", path.c_str()});
    case Desktop::kSway:
      if (const auto command = SwayCommand(path)) return Run({"swaymsg", command->c_str()});
      return Outcome::kNotAsked;
    case Desktop::kNone:
      break;
  }
  return Outcome::kNotAsked;
}

}  // namespace

void SetWallpaper(const std::string& bitmap_path) {
  const Desktop desktop = ChooseDesktop(std::getenv("XDG_CURRENT_DESKTOP"), std::getenv("SWAYSOCK"));
  if (desktop == Desktop::kNone) return;
  const std::string bitmap = Absolute(bitmap_path);
  struct stat info {};
  // No bitmap: the request cannot name a picture and the wallpaper stays.
  if (bitmap.empty() || stat(bitmap.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;

  // Where no second name can be made (a read-only directory), the bitmap's
  // own name serves: the desktop may then keep an older picture on screen.
  std::string shown = bitmap;
  bool created = false;
  const bool own_name = Step([&] { shown = ShownName(bitmap, &created); });
  const Outcome outcome = Apply(desktop, shown);
  if (own_name) TidyShownNames(bitmap, shown, created, outcome);
}

}  // namespace pavo
