// Window services: the program's one window, the three events it raises on
// its form and the operations the handlers call on it. Windows drives a real
// top-level window; Linux has a headless host that raises the same events in
// the same order.
#pragma once

#include <cstdint>
#include <string>

namespace pavo {

// The window's caption, also the tray icon's tip.
inline constexpr const char kCaption[] = "Pavo壁纸 - by RZ31";

namespace window {

enum : int { kNormal = 0, kMinimised = 1, kMaximised = 2 };

// The form the host raises the window's events on.
class Events {
 public:
  virtual void Form_Load() = 0;
  virtual void Form_Activate() = 0;
  virtual void Form_Resize() = 0;

 protected:
  ~Events() = default;
};

// Creates the window and raises its events in order: load (before the window
// is visible), then the window is shown in the normal state and its first
// activation runs. Returns the exit status if the message loop ever ends.
int Run(Events& form);

// A state change requested by the program: the resize handler has run to its
// end before this returns.
void SetState(int state);
int State();                   // 0 normal, 1 minimised, 2 maximised
std::uintptr_t Handle();       // the handle the shell uses for the tray
std::uintptr_t IconHandle();   // the window's icon (on Windows its small one, the tray's size)
std::string Caption();
void Hide();                   // off the screen and the taskbar; keeps its state

// Dispatches every message pending for the thread and returns; never waits
// for new ones.
void DoEvents();

// Blocks until a message is pending for the thread or timeout_ms passes, so
// that polling loops sleep between their turns instead of spinning.
void WaitForMessages(std::uint32_t timeout_ms);

// Ends the process at once; no further handler runs.
[[noreturn]] void EndProcess(int status);

}  // namespace window
}  // namespace pavo
