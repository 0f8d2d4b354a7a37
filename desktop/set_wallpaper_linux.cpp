// The wallpaper on the common Linux desktops. Each desktop keeps the choice
// in its own settings; this finds out which desktop the user runs and asks it
// in its own way. A desktop that is not recognised, absent or silent is left
// as it is, like a refused request on Windows; every request is bounded in
// time.
#include <gio/gio.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/session_bus_linux.h"
#include "desktop/shown_name_linux.h"
#include "desktop/wallpaper.h"
#include "sys/failure.h"
#include "sys/glib_wait_linux.h"
#include "sys/scoped_glib_linux.h"
#include "sys/text.h"

namespace pavo {

namespace wallpaper_linux {

namespace {

// What a back end is handed: the picture's absolute path and its file URI
// ("" when it has none).
struct Picture {
  std::string path;
  std::string uri;
};

// One desktop: the names XDG_CURRENT_DESKTOP gives it, in lower case (the
// first is its own), and how it is asked to show a picture.
struct Desktop {
  const char* names[3];
  Outcome (*show)(const Picture& picture);
};

// A desktop gets this long to take the new wallpaper.
constexpr unsigned kDesktopTimeoutMs = 5000;

using Clock = std::chrono::steady_clock;

// ---- GSettings (the GNOME family, Cinnamon, MATE) --------------------------

// Writes still queued for the settings daemon are waited for on one of GLib's
// worker threads, but not for ever: a daemon that does not answer must not
// hold the run. One flush at most is under way: while an earlier one still
// waits for a daemon that does not answer, another would only wait as long,
// so none is started and nothing piles up in a process that lives on.
bool SyncSettings(unsigned timeout_ms) {
  static std::atomic<bool> flushing{false};
  if (flushing.exchange(true)) return false;
  return sys::Await(
             [](GCancellable* cancellable, GAsyncReadyCallback done, gpointer data) {
               const glib::Object<GTask> task(g_task_new(nullptr, cancellable, done, data));
               g_task_set_return_on_cancel(task.get(), TRUE);
               // The task goes once both the flush (if it started) and the wait are over.
               g_task_set_task_data(task.get(), nullptr, [](gpointer) { flushing = false; });
               g_task_run_in_thread(task.get(), [](GTask* t, gpointer, gpointer, GCancellable*) {
                 g_settings_sync();
                 g_task_return_boolean(t, TRUE);
               });
             },
             timeout_ms) != nullptr;
}

// Sets the string keys of a GSettings schema that it has. A schema that is
// not installed, or a key of another type, is passed over in silence.
Outcome SetStrings(const char* schema_id, std::initializer_list<const char*> keys, const std::string& value) {
  if (value.empty() || !g_utf8_validate(value.c_str(), -1, nullptr)) return Outcome::kNotAsked;
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  const glib::Schema schema(source ? g_settings_schema_source_lookup(source, schema_id, TRUE) : nullptr);
  if (!schema || !g_settings_schema_get_path(schema.get())) return Outcome::kNotAsked;
  const glib::Object<GSettings> settings(g_settings_new_full(schema.get(), nullptr, nullptr));
  int written = 0;
  for (const char* key : keys) {
    if (!g_settings_schema_has_key(schema.get(), key)) continue;
    const glib::SchemaKey info(g_settings_schema_get_key(schema.get(), key));
    const glib::Variant text(g_variant_ref_sink(g_variant_new_string(value.c_str())));
    if (g_variant_type_equal(g_settings_schema_key_get_value_type(info.get()), G_VARIANT_TYPE_STRING) &&
        g_settings_schema_key_range_check(info.get(), text.get()) &&
        g_settings_set_value(settings.get(), key, text.get()))
      ++written;
  }
  if (written == 0) return Outcome::kNotAsked;
  return SyncSettings(kDesktopTimeoutMs) ? Outcome::kTaken : Outcome::kUnsure;
}

// ---- Xfconf (XFCE) ---------------------------------------------------------

// What is left of the desktop's time, for the next request.
int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Every monitor and workspace has its own image property; the older desktop
// keeps one per monitor under another name.
std::vector<std::string> ImageProperties(GVariant* all) {
  std::vector<std::string> names;
  const glib::Variant properties(g_variant_get_child_value(all, 0));
  GVariantIter iter;
  g_variant_iter_init(&iter, properties.get());
  const gchar* name = nullptr;
  GVariant* value = nullptr;
  while (g_variant_iter_loop(&iter, "{&sv}", &name, &value)) {
    const std::string_view n = name;
    if ((n.ends_with("/last-image") || n.ends_with("/image-path")) && g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
      names.emplace_back(n);
  }
  return names;
}

Outcome SetXfconf(const Picture& picture) {
  GDBusConnection* bus = session_bus::Get();
  if (!bus || !g_utf8_validate(picture.path.c_str(), -1, nullptr)) return Outcome::kNotAsked;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kDesktopTimeoutMs);
  const glib::Variant all(g_dbus_connection_call_sync(
      bus, "org.xfce.Xfconf", "/org/xfce/Xfconf", "org.xfce.Xfconf", "GetAllProperties",
      g_variant_new("(ss)", "xfce4-desktop", "/backdrop"), G_VARIANT_TYPE("(a{sv})"), G_DBUS_CALL_FLAGS_NONE,
      RemainingMs(deadline), nullptr, nullptr));
  // Only read so far: whatever the answer, nothing was set.
  if (!all) return Outcome::kNotAsked;
  const std::vector<std::string> names = ImageProperties(all.get());
  if (names.empty()) return Outcome::kNotAsked;

  std::size_t taken = 0;
  for (const std::string& property : names) {
    const int left = RemainingMs(deadline);
    if (left == 0) break;
    const glib::Variant reply(g_dbus_connection_call_sync(
        bus, "org.xfce.Xfconf", "/org/xfce/Xfconf", "org.xfce.Xfconf", "SetProperty",
        g_variant_new("(ssv)", "xfce4-desktop", property.c_str(), g_variant_new_string(picture.path.c_str())),
        nullptr, G_DBUS_CALL_FLAGS_NONE, left, nullptr, nullptr));
    if (reply) ++taken;
  }
  return taken == names.size() ? Outcome::kTaken : Outcome::kUnsure;
}

// ---- Plasma (KDE) ----------------------------------------------------------

// The Plasma shell script that shows file_uri on every desktop. The URI is
// written as a script string in which only ASCII letters, digits and "/:._-%"
// stand for themselves.
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

Outcome SetPlasma(const Picture& picture) {
  GDBusConnection* bus = session_bus::Get();
  if (!bus || picture.uri.empty()) return Outcome::kNotAsked;
  glib::Error error;
  const glib::Variant reply(g_dbus_connection_call_sync(
      bus, "org.kde.plasmashell", "/PlasmaShell", "org.kde.PlasmaShell", "evaluateScript",
      g_variant_new("(s)", PlasmaScript(picture.uri).c_str()), nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
      kDesktopTimeoutMs, nullptr, error.put()));
  if (reply) return Outcome::kTaken;
  // No one on the bus under that name: the request reached no desktop.
  const bool nobody = g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
                      g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER);
  return nobody ? Outcome::kNotAsked : Outcome::kUnsure;
}

// ---- commands (LXQt, LXDE, sway) -------------------------------------------

Outcome Run(std::initializer_list<const char*> args) {
  std::vector<const char*> argv(args);
  argv.push_back(nullptr);
  try {
    return sys::RunBounded(argv.data(), kDesktopTimeoutMs) ? Outcome::kTaken : Outcome::kUnsure;
  } catch (const Failure&) {
    return Outcome::kNotAsked;  // no such program: nothing reached the desktop
  }
}

// The sway command that shows path on every output. Its line is split on
// spaces, quotes group words, and the file name is expanded like a shell
// word: nothing for a path with anything that could be read as quoting,
// expansion, a pattern, a command separator or a control character.
std::optional<std::string> SwayCommand(const std::string& path) {
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f) return std::nullopt;
    if (std::string("\"'\\$`*?[]{}()|&;<>#,~").find(static_cast<char>(c)) != std::string::npos) return std::nullopt;
  }
  return "output * bg \"" + path + "\" fill";
}

Outcome SetSway(const Picture& picture) {
  const std::optional<std::string> command = SwayCommand(picture.path);
  return command ? Run({"swaymsg", command->c_str()}) : Outcome::kNotAsked;
}

const Desktop kDesktops[] = {
    {{"gnome", "ubuntu", "budgie"},
     [](const Picture& p) {
       return SetStrings("org.gnome.desktop.background", {"picture-uri", "picture-uri-dark"}, p.uri);
     }},
    {{"x-cinnamon", "cinnamon"},
     [](const Picture& p) { return SetStrings("org.cinnamon.desktop.background", {"picture-uri"}, p.uri); }},
    // UKUI's desktop reads its picture from MATE's key, a plain path.
    {{"mate", "ukui"}, [](const Picture& p) { return SetStrings("org.mate.background", {"picture-filename"}, p.path); }},
    {{"xfce"}, SetXfconf},
    {{"kde"}, SetPlasma},
    {{"lxqt"}, [](const Picture& p) { return Run({"pcmanfm-qt", "--set-wallpaper", p.path.c_str()}); }},
    {{"lxde"}, [](const Picture& p) { return Run({"pcmanfm", "--set-wallpaper", p.path.c_str()}); }},
    {{"sway"}, SetSway},
};

// The desktop from XDG_CURRENT_DESKTOP (a ":"-separated list, most specific
// first, compared without regard to case) and, failing that, from SWAYSOCK;
// nullptr for none the program knows. Either may be null.
const Desktop* ChooseDesktop(const char* current_desktop, const char* swaysock) {
  const std::string list =
      sys::AsciiLower(current_desktop ? current_desktop : "") + (swaysock && *swaysock ? ":sway" : "");
  for (std::size_t start = 0, end = 0; start < list.size(); start = end + 1) {
    end = std::min(list.find(':', start), list.size());
    for (const Desktop& desktop : kDesktops)
      for (const char* known : desktop.names)
        if (known && list.compare(start, end - start, known) == 0) return &desktop;
  }
  return nullptr;
}

// The absolute form of path, "" when there is none.
std::string Absolute(const std::string& path) {
  if (path.empty()) return "";
  const glib::Chars absolute(g_canonicalize_filename(path.c_str(), nullptr));
  return absolute ? absolute.get() : "";
}

std::string FileUri(const std::string& absolute_path) {
  const glib::Chars uri(g_filename_to_uri(absolute_path.c_str(), nullptr, nullptr));
  return uri ? uri.get() : "";
}

}  // namespace

}  // namespace wallpaper_linux

void SetWallpaper(const std::string& bitmap_path) {
  using namespace wallpaper_linux;
  const Desktop* desktop = ChooseDesktop(std::getenv("XDG_CURRENT_DESKTOP"), std::getenv("SWAYSOCK"));
  if (!desktop) return;
  const std::string bitmap = Absolute(bitmap_path);
  struct stat info {};
  // No bitmap: the request cannot name a picture and the wallpaper stays.
  if (bitmap.empty() || stat(bitmap.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;

  // Where no second name can be made (a read-only directory), the bitmap's
  // own name serves: the desktop may then keep an older picture on screen.
  bool created = false;
  std::optional<std::string> shown;
  try {
    shown = ShownName(bitmap, &created);
  } catch (const Failure&) {
  }
  const std::string& path = shown ? *shown : bitmap;
  const Outcome outcome = desktop->show({path, FileUri(path)});
  if (shown) TidyShownNames(bitmap, *shown, created, outcome);
}

}  // namespace pavo
