#include "sys/glib_wait_linux.h"

#include <string>
#include <utility>

#include "sys/failure.h"

namespace pavo::sys {

namespace {

// How long an ended call gets to deliver its callback.
constexpr unsigned kEndingMs = 1000;

struct Pending {
  bool done = false;
  glib::Object<GAsyncResult> result;
};

// Iterates context until done is set or timeout_ms has passed; whether done.
bool IterateUntil(GMainContext* context, const bool& done, unsigned timeout_ms) {
  bool expired = false;
  const glib::Source timer = glib::Timer(
      context, timeout_ms,
      [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
      },
      &expired);
  while (!done && !expired) g_main_context_iteration(context, TRUE);
  return done;
}

}  // namespace

glib::Object<GAsyncResult> Await(const AsyncStart& start, unsigned timeout_ms, const std::function<void()>& give_up) {
  const glib::ThreadDefault context;
  const glib::Object<GCancellable> cancellable(g_cancellable_new());
  // On the heap: a call that never ends keeps it.
  auto* pending = new Pending;
  start(
      cancellable.get(),
      [](GObject*, GAsyncResult* result, gpointer data) {
        auto* p = static_cast<Pending*>(data);
        p->result.reset(G_ASYNC_RESULT(g_object_ref(result)));
        p->done = true;
      },
      pending);

  glib::Object<GAsyncResult> result;
  if (IterateUntil(context.get(), pending->done, timeout_ms)) {
    result = std::move(pending->result);
  } else {
    if (give_up) give_up();
    else g_cancellable_cancel(cancellable.get());
    IterateUntil(context.get(), pending->done, kEndingMs);
  }
  if (pending->done) delete pending;
  return result;
}

bool RunBounded(const char* const* argv, unsigned timeout_ms) {
  const glib::Object<GSubprocess> child(g_subprocess_newv(
      argv, static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_SILENCE | G_SUBPROCESS_FLAGS_STDERR_SILENCE),
      nullptr));
  if (!child) throw Failure(std::string("cannot start ") + argv[0]);
  const glib::Object<GAsyncResult> result = Await(
      [&child](GCancellable* cancellable, GAsyncReadyCallback done, gpointer data) {
        g_subprocess_wait_async(child.get(), cancellable, done, data);
      },
      timeout_ms, [&child] { g_subprocess_force_exit(child.get()); });
  return result && g_subprocess_wait_finish(child.get(), result.get(), nullptr) &&
         g_subprocess_get_if_exited(child.get()) && g_subprocess_get_exit_status(child.get()) == 0;
}

}  // namespace pavo::sys
