#include "desktop/session_bus_linux.h"

#include <sys/stat.h>

#include <cstdlib>

#include "desktop/glib_wait_linux.h"

namespace pavo::session_bus {

namespace {

// What the connect attempt leaves behind. It lives on the heap because an
// attempt that is given up may still finish later on a worker thread.
struct Attempt {
  GDBusConnection* connection = nullptr;
  bool done = false;
  bool abandoned = false;
};

void Connected(GObject*, GAsyncResult* result, gpointer data) {
  auto* attempt = static_cast<Attempt*>(data);
  GDBusConnection* connection = g_dbus_connection_new_for_address_finish(result, nullptr);
  if (attempt->abandoned) {
    if (connection) g_object_unref(connection);
    delete attempt;
    return;
  }
  attempt->connection = connection;
  attempt->done = true;
}

GDBusConnection* Connect() {
  const std::string address = Address();
  if (address.empty()) return nullptr;

  // The handshake runs on GIO's worker thread; its answer is collected on a
  // context of our own so that nothing else of the program runs meanwhile.
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GCancellable* cancellable = g_cancellable_new();
  auto* attempt = new Attempt;
  g_dbus_connection_new_for_address(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, cancellable, Connected, attempt);

  IterateUntil(context, attempt->done, kConnectTimeoutMs);

  GDBusConnection* connection = nullptr;
  if (attempt->done) {
    connection = attempt->connection;
    delete attempt;
  } else {
    // The bus never answered the handshake: give it up. Should the worker
    // still finish, the answer is dropped there.
    attempt->abandoned = true;
    g_cancellable_cancel(cancellable);
  }
  g_object_unref(cancellable);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  return connection;
}

}  // namespace

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
  gchar* escaped = g_dbus_address_escape_value(socket.c_str());
  std::string address = std::string("unix:path=") + escaped;
  g_free(escaped);
  return address;
}

GDBusConnection* Get() {
  static bool tried = false;
  static GDBusConnection* connection = nullptr;
  if (!tried) {
    tried = true;
    connection = Connect();
  }
  return connection;
}

}  // namespace pavo::session_bus
