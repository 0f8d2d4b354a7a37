#include "sys/glib_wait_linux.h"

#include <string>

#include "sys/failure.h"

namespace pavo::sys {

namespace {

// How long an ended call gets to deliver its callback.
constexpr unsigned kEndingMs = 1000;

struct Pending {
  bool done = false;
  GAsyncResult* result = nullptr;
};

// Iterates context until done is set or timeout_ms has passed; whether done.
bool IterateUntil(GMainContext* context, const bool& done, unsigned timeout_ms) {
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

}  // namespace

GAsyncResult* Await(const AsyncStart& start, unsigned timeout_ms, const std::function<void()>& give_up) {
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GCancellable* cancellable = g_cancellable_new();
  // On the heap: a call that never ends keeps it.
  auto* pending = new Pending;
  start(
      cancellable,
      [](GObject*, GAsyncResult* result, gpointer data) {
        auto* p = static_cast<Pending*>(data);
        p->result = G_ASYNC_RESULT(g_object_ref(result));
        p->done = true;
      },
      pending);

  GAsyncResult* result = nullptr;
  if (IterateUntil(context, pending->done, timeout_ms)) {
    result = pending->result;
  } else {
    if (give_up) give_up();
    else g_cancellable_cancel(cancellable);
    if (IterateUntil(context, pending->done, kEndingMs)) g_object_unref(pending->result);
  }
  if (pending->done) delete pending;
  g_object_unref(cancellable);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  return result;
}

bool RunBounded(const char* const* argv, unsigned timeout_ms) {
  GSubprocess* child = g_subprocess_newv(
      argv, static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_SILENCE | G_SUBPROCESS_FLAGS_STDERR_SILENCE),
      nullptr);
  if (!child) throw Failure(std::string("cannot start ") + argv[0]);
  GAsyncResult* result = Await(
      [child](GCancellable* cancellable, GAsyncReadyCallback done, gpointer data) {
        g_subprocess_wait_async(child, cancellable, done, data);
      },
      timeout_ms, [child] { g_subprocess_force_exit(child); });
  const bool exited = result && g_subprocess_wait_finish(child, result, nullptr) && g_subprocess_get_if_exited(child) &&
                      g_subprocess_get_exit_status(child) == 0;
  if (result) g_object_unref(result);
  g_object_unref(child);
  return exited;
}

}  // namespace pavo::sys
