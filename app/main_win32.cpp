// The program's entry on Windows: no arguments are read and nothing is shown
// but the window of Form1.
#include <windows.h>

#include "app/form1.h"
#include "desktop/window.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  pavo::Form1 form;
  return pavo::window::Run(form);
}
