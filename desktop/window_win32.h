// Windows-only additions to the window services.
#pragma once

#include <windows.h>

namespace pavo::window {

// For tests: the window services act on a window the test created itself,
// without the program's host and its handlers.
void AttachForTest(HWND window);

}  // namespace pavo::window
