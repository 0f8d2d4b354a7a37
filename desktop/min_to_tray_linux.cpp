// The tray icon on Linux: a StatusNotifierItem of our own on the session bus.
// The "add" exports the item and announces it to the StatusNotifierWatcher;
// the "delete" withdraws it. The tray host reads the item's properties while
// the run waits: the item is served on the default main context, which the
// run's waits dispatch.
#include "desktop/min_to_tray.h"

#include <gio/gio.h>
#include <unistd.h>

#include <string>

#include "desktop/session_bus_linux.h"
#include "desktop/tray_pixmaps_linux.h"
#include "desktop/window.h"
#include "sys/scoped_glib_linux.h"

namespace pavo::MinToTray {

namespace {

constexpr char kItemPath[] = "/StatusNotifierItem";
constexpr char kItemInterface[] = "org.kde.StatusNotifierItem";
constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
constexpr char kWatcherPath[] = "/StatusNotifierWatcher";

constexpr char kIntrospection[] = R"xml(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
  </interface>
</node>)xml";

// The tray record: what the add put up, kept for the delete.
struct TrayRecord {
  std::string tip;  // the caption at the add: title and tooltip of the item
  GDBusConnection* bus = nullptr;
  guint object_id = 0;
  guint watcher_subscription = 0;
  std::string bus_name;
};

TrayRecord TrayIcon;

GVariant* IconPixmaps() {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
  for (int i = 0; i < tray_pixmaps::kCount; ++i) {
    const tray_pixmaps::Pixmap& p = tray_pixmaps::kPixmaps[i];
    g_variant_builder_add(&builder, "(ii@ay)", p.width, p.height,
                          g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, p.argb,
                                                    static_cast<gsize>(p.width) * p.height * 4, 1));
  }
  return g_variant_builder_end(&builder);
}

GVariant* NoPixmaps() { return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0); }

GVariant* GetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GError** error,
                      gpointer) {
  const std::string property = name;
  const char* tip = TrayIcon.tip.c_str();
  if (property == "Category") return g_variant_new_string("ApplicationStatus");
  if (property == "Id" || property == "Title") return g_variant_new_string(tip);
  if (property == "Status") return g_variant_new_string("Active");
  if (property == "WindowId") return g_variant_new_int32(0);
  if (property == "IconPixmap") return IconPixmaps();
  if (property == "IconName" || property == "OverlayIconName" || property == "AttentionIconName" ||
      property == "AttentionMovieName")
    return g_variant_new_string("");
  if (property == "OverlayIconPixmap" || property == "AttentionIconPixmap") return NoPixmaps();
  if (property == "ToolTip") return g_variant_new("(s@a(iiay)ss)", "", NoPixmaps(), tip, "");
  if (property == "ItemIsMenu") return g_variant_new_boolean(FALSE);
  if (property == "Menu") return g_variant_new_object_path("/NO_DBUSMENU");
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No such property: %s", name);
  return nullptr;
}

// Clicks, the context menu and scrolling are accepted and do nothing.
void CallMethod(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                GDBusMethodInvocation* invocation, gpointer) {
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

const GDBusInterfaceVTable kVTable = {CallMethod, GetProperty, nullptr, {}};

GDBusInterfaceInfo* ItemInterface() {
  static GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  return node ? g_dbus_node_info_lookup_interface(node, kItemInterface) : nullptr;
}

void DropReply(GObject* source, GAsyncResult* result, gpointer) {
  const glib::Variant reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr));
}

// Sent without waiting: the answer is not examined, and the bus delivers our
// messages in order, so the watcher sees our name owned before it hears of it.
void AnnounceToWatcher() {
  g_dbus_connection_call(TrayIcon.bus, kWatcherName, kWatcherPath, kWatcherName, "RegisterStatusNotifierItem",
                         g_variant_new("(s)", TrayIcon.bus_name.c_str()), nullptr,
                         G_DBUS_CALL_FLAGS_NO_AUTO_START, session_bus::kCallTimeoutMs, nullptr, DropReply, nullptr);
}

// A tray that starts after us (a panel coming up at log-on) learns of the
// item when its watcher takes the name.
void WatcherOwnerChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                         GVariant* parameters, gpointer) {
  const gchar* name = nullptr;
  const gchar* old_owner = nullptr;
  const gchar* new_owner = nullptr;
  g_variant_get(parameters, "(&s&s&s)", &name, &old_owner, &new_owner);
  if (TrayIcon.object_id != 0 && new_owner && *new_owner) AnnounceToWatcher();
}

void AddItem() {
  if (TrayIcon.object_id != 0) return;  // already up: a second add is refused
  GDBusConnection* bus = session_bus::Get();
  GDBusInterfaceInfo* info = ItemInterface();
  if (!bus || !info) return;
  const guint object_id =
      g_dbus_connection_register_object(bus, kItemPath, info, &kVTable, nullptr, nullptr, nullptr);
  if (object_id == 0) return;
  TrayIcon.bus = bus;
  TrayIcon.object_id = object_id;
  TrayIcon.bus_name = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
  TrayIcon.watcher_subscription = g_dbus_connection_signal_subscribe(
      bus, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
      kWatcherName, G_DBUS_SIGNAL_FLAGS_NONE, WatcherOwnerChanged, nullptr, nullptr);
  // Flag 4: do not queue for the name; it is ours alone (it holds our pid).
  g_dbus_connection_call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "RequestName", g_variant_new("(su)", TrayIcon.bus_name.c_str(), 4u), nullptr,
                         G_DBUS_CALL_FLAGS_NONE, session_bus::kCallTimeoutMs, nullptr, DropReply, nullptr);
  AnnounceToWatcher();
}

}  // namespace

void Form_Resize() {
  if (window::State() != window::kMinimised) return;
  TrayIcon.tip = window::Caption();
  AddItem();
  window::Hide();
}

void RemoveIcon() {
  if (TrayIcon.object_id == 0) return;
  GDBusConnection* bus = TrayIcon.bus;
  g_dbus_connection_signal_unsubscribe(bus, TrayIcon.watcher_subscription);
  g_dbus_connection_unregister_object(bus, TrayIcon.object_id);
  // The tray drops the item when its name leaves the bus. Waited for, so the
  // item is gone when this returns even if the process lived on.
  const glib::Variant reply(g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ReleaseName",
      g_variant_new("(s)", TrayIcon.bus_name.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE,
      session_bus::kCallTimeoutMs, nullptr, nullptr));
  TrayIcon.object_id = 0;
  TrayIcon.watcher_subscription = 0;
  TrayIcon.bus = nullptr;
  TrayIcon.bus_name.clear();
}

}  // namespace pavo::MinToTray
