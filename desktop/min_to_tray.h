// MinToTray: the program's one tray record and the resize handling that puts
// the tray icon up when the window is minimised.
#pragma once

namespace pavo::MinToTray {

// The resize handling: nothing unless the window is minimised; then the tray
// record is filled, the icon added (the window's icon, its caption as the
// tip) and the window hidden.
void Form_Resize();

// Removes the icon with the same record, unchanged. The result is ignored.
void RemoveIcon();

}  // namespace pavo::MinToTray
