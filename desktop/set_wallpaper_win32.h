// The wallpaper request's way to the platform, replaceable so that a test can
// see exactly what would be handed to it.
#pragma once

#include <windows.h>

namespace pavo::wallpaper {

using SystemParametersA = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT);
using SystemParametersW = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT);

// nullptr restores the platform's own function.
void SetSystemParametersForTest(SystemParametersA ansi, SystemParametersW wide);

}  // namespace pavo::wallpaper
