// Bounded waits on GLib: an asynchronous call collected on a main context of
// its own, so that nothing else of the program runs while it is awaited, and
// a child process run within a time.
#pragma once

#include <gio/gio.h>

#include <functional>

#include "sys/scoped_glib_linux.h"

namespace pavo::sys {

using AsyncStart = std::function<void(GCancellable*, GAsyncReadyCallback, gpointer)>;

// Starts a call with start(cancellable, callback, data) and waits at most
// timeout_ms for it to end. Returns its result for the call's _finish
// function; empty when the time ran out. A call not done in time is ended (give_up, or else its
// cancellable) and its callback, which an ended call still gets, is awaited
// a moment more, so that what the call made is freed rather than left on a
// context that nobody serves; a call that does not end even then keeps what
// it holds.
glib::Object<GAsyncResult> Await(const AsyncStart& start, unsigned timeout_ms,
                                 const std::function<void()>& give_up = {});

// Runs argv (no shell; the program is looked up on PATH) with its output
// discarded and waits at most timeout_ms for it; a child still running then
// is killed. Whether it exited with status 0. Throws pavo::Failure when it
// cannot be started.
bool RunBounded(const char* const* argv, unsigned timeout_ms);

}  // namespace pavo::sys
