#include "desktop/session_bus_linux.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "sys/glib_wait_linux.h"

namespace pavo::session_bus {

namespace {

// The bus address the process would use: DBUS_SESSION_BUS_ADDRESS, else the
// per-user socket $XDG_RUNTIME_DIR/bus when it exists; "" when neither.
std::string Address() {
  const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (env && *env) return env;
  // A bus started per user (systemd --user, dbus-broker) listens here even
  // when the variable was not passed on to us.
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || *runtime != '/') return "";
  const std::string socket = std::string(runtime) + "/bus";
  struct stat info {};
  if (stat(socket.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return "";
  return std::string("unix:path=") + glib::Chars(g_dbus_address_escape_value(socket.c_str())).get();
}

GDBusConnection* Connect() {
  const std::string address = Address();
  if (address.empty()) return nullptr;
  // The handshake runs on GIO's worker thread; nothing else of the program
  // runs while it is awaited.
  const glib::Object<GAsyncResult> result = sys::Await(
      [&address](GCancellable* cancellable, GAsyncReadyCallback done, gpointer data) {
        g_dbus_connection_new_for_address(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, cancellable, done, data);
      },
      kConnectTimeoutMs);
  return result ? g_dbus_connection_new_for_address_finish(result.get(), nullptr) : nullptr;
}

}  // namespace

GDBusConnection* Get() {
  static GDBusConnection* const connection = Connect();
  return connection;
}

}  // namespace pavo::session_bus
