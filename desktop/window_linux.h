// What the headless host of Linux offers beyond the window services: the
// state it keeps, reachable without a Form1, so that the tray handling can be
// driven on its own.
#pragma once

namespace pavo::window {

// Sets the state without raising the resize event.
void SetStateQuietly(int state);

// Whether Hide() was called.
bool Hidden();

}  // namespace pavo::window
