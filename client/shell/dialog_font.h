// The font of the program's dialogs: the stock DEFAULT_GUI_FONT with its
// face replaced by "Tahoma" when a family of that name is installed.
#pragma once

#include <windows.h>

#include "common/win_handle.h"

namespace Helper {

// `extra_height` makes the height that many units larger in magnitude (the
// wizard's header font uses 8).
CFontHandle CreateDialogFont(LONG extra_height = 0);
// Sets the font on the window and every child control.
void ApplyFontToChildren(HWND window, HFONT font);

}  // namespace Helper
