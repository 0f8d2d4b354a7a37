// The user's session bus, shared by the tray item and the wallpaper setter.
#pragma once

#include <gio/gio.h>

namespace pavo::session_bus {

// A D-Bus call the program makes waits at most this long for its answer.
inline constexpr int kCallTimeoutMs = 3000;

// Connecting gives up after this long: a bus that accepts and then never
// answers must not hold the run.
inline constexpr unsigned kConnectTimeoutMs = 3000;

// The connection, made at the first call and kept for the life of the
// process; nullptr when there is no session bus or it did not answer in time
// (that answer is kept too: the run does not wait for the same bus twice).
// Never autolaunches a bus.
GDBusConnection* Get();

}  // namespace pavo::session_bus
