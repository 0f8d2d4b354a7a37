// The headless host of Linux: no window is shown, but the three events come
// in the same order as on Windows, and "dispatch pending messages" serves the
// program's GLib main context (the tray item's D-Bus connection lives there).
#include "desktop/window.h"

#include <glib.h>
#include <unistd.h>

#include "sys/failure.h"
#include "sys/scoped_glib_linux.h"

namespace pavo::window {

namespace {
Events* g_form = nullptr;
int g_state = kNormal;
}  // namespace

int Run(Events& form) {
  g_form = &form;
  form.Form_Load();
  // Shown in the normal state: the first appearance is a resize, then the
  // first activation.
  g_state = kNormal;
  form.Form_Resize();
  form.Form_Activate();
  return 1;
}

void SetState(int state) {
  if (!g_form) throw Failure("no window");
  g_state = state;
  g_form->Form_Resize();
}

int State() { return g_state; }
std::uintptr_t Handle() { return 1; }
std::uintptr_t IconHandle() { return 1; }
std::string Caption() { return kCaption; }
void Hide() {}  // nothing is on the screen

void DoEvents() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

void WaitForMessages(std::uint32_t timeout_ms) {
  const glib::Source timer =
      glib::Timer(nullptr, timeout_ms, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr);
  g_main_context_iteration(nullptr, TRUE);
}

void EndProcess(int status) { _exit(status); }

}  // namespace pavo::window
