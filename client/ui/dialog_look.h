// What the wizard and the settings centre dress their dialogs in besides
// the dialog font (client/shell/dialog_font.h): the white brush, the side
// picture decoded from its PNG resource, and the program's icon on the
// caption.
#pragma once

#include <windows.h>

#include "common/win_handle.h"

namespace GUI {

Helper::CBrushHandle MakeWhiteBrush();

// The PNG resource 113 decoded with GDI+ onto opaque black; none when it
// is missing or cannot be decoded.
Helper::CBitmapHandle LoadSidePicture(HINSTANCE instance);

// The large and the small (16 x 16) icon of group 128.
void SetProductIcons(HWND window, HINSTANCE instance);

}  // namespace GUI
