// A bounded wait on a GLib main context: iterate it until an asynchronous
// answer has set a flag or the time is up, whichever comes first.
#pragma once

#include <glib.h>

namespace pavo {

// Returns whether done was set before timeout_ms passed.
inline bool IterateUntil(GMainContext* context, const bool& done, unsigned timeout_ms) {
  bool expired = false;
  GSource* timer = g_timeout_source_new(timeout_ms);
  g_source_set_callback(
      timer,
      [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
      },
      &expired, nullptr);
  g_source_attach(timer, context);
  while (!done && !expired) g_main_context_iteration(context, TRUE);
  g_source_destroy(timer);
  g_source_unref(timer);
  return done;
}

}  // namespace pavo
