// The GLib resources the program holds, each in a scoped owner that gives it
// back on every path (objects, variants, errors, strings, settings schemas,
// key files, directories, timers), and a thread-default main context.
#pragma once

#include <gio/gio.h>

#include "sys/owned.h"

namespace pavo::glib {

template <class T>
using Object = sys::Owned<T*, g_object_unref>;
using Variant = sys::Owned<GVariant*, g_variant_unref>;
using Chars = sys::Owned<char*, g_free>;
using Strv = sys::Owned<char**, g_strfreev>;
using Schema = sys::Owned<GSettingsSchema*, g_settings_schema_unref>;
using SchemaKey = sys::Owned<GSettingsSchemaKey*, g_settings_schema_key_unref>;
using KeyFile = sys::Owned<GKeyFile*, g_key_file_free>;
using Dir = sys::Owned<GDir*, g_dir_close>;

// The error a call may set through put(), freed when this goes.
class Error {
 public:
  Error() = default;
  ~Error() {
    if (e_) g_error_free(e_);
  }
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  GError** put() { return &e_; }
  GError* get() const { return e_; }

 private:
  GError* e_ = nullptr;
};

inline void DestroySource(GSource* source) {
  g_source_destroy(source);
  g_source_unref(source);
}
using Source = sys::Owned<GSource*, DestroySource>;

// A timer on context (nullptr: the default one) that calls fire(data) once
// after ms, unless it goes first.
inline Source Timer(GMainContext* context, unsigned ms, GSourceFunc fire, gpointer data) {
  Source timer(g_timeout_source_new(ms));
  g_source_set_callback(timer.get(), fire, data, nullptr);
  g_source_attach(timer.get(), context);
  return timer;
}

// A main context of its own, the thread's default while this lives.
class ThreadDefault {
 public:
  ThreadDefault() { g_main_context_push_thread_default(context_); }
  ~ThreadDefault() {
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
  }
  ThreadDefault(const ThreadDefault&) = delete;
  ThreadDefault& operator=(const ThreadDefault&) = delete;
  GMainContext* get() const { return context_; }

 private:
  GMainContext* context_ = g_main_context_new();
};

}  // namespace pavo::glib
