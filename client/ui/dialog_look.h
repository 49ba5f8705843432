// What the wizard and the settings centre dress their dialogs in: the
// dialog font (the default GUI font, in Tahoma when that is installed),
// the wizard's larger header font, the white brush, the side picture
// decoded from its PNG resource, and the program's icon on the caption.
#pragma once

#include <windows.h>

#include "common/win_handle.h"

namespace GUI {

LOGFONTW DialogLogFont();
Helper::CFontHandle MakeDialogFont();
// The dialog font 8 units larger in magnitude.
Helper::CFontHandle MakeHeaderFont();
Helper::CBrushHandle MakeWhiteBrush();

// The PNG resource 113 decoded with GDI+ onto opaque black; none when it
// is missing or cannot be decoded.
Helper::CBitmapHandle LoadSidePicture(HINSTANCE instance);

// WM_SETFONT on the window and on each of its direct children.
void SetFontOnAll(HWND window, HFONT font);
// The large and the small (16 x 16) icon of group 128.
void SetProductIcons(HWND window, HINSTANCE instance);

}  // namespace GUI
