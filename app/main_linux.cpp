// The program's entry on Linux: no arguments are read and nothing is shown.
#include <clocale>

#include "app/form1.h"
#include "desktop/window.h"

int main() {
  // The user's locale decides the decimal separator of the delay setting.
  std::setlocale(LC_ALL, "");
  pavo::Form1 form;
  return pavo::window::Run(form);
}
