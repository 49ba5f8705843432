#include "client/shell/dialog_font.h"

#include <cwchar>

namespace Helper {

namespace {

constexpr wchar_t kPreferredFace[] = L"Tahoma";

int CALLBACK FamilyFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found)
{
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

bool IsFamilyInstalled(const wchar_t* face)
{
    LOGFONTW query = {};
    query.lfCharSet = DEFAULT_CHARSET;
    wcsncpy(query.lfFaceName, face, LF_FACESIZE - 1);
    bool found = false;
    HDC screen = GetDC(nullptr);
    EnumFontFamiliesExW(screen, &query, FamilyFound, reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, screen);
    return found;
}

BOOL CALLBACK SetChildFont(HWND child, LPARAM font)
{
    SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), FALSE);
    return TRUE;
}

}  // namespace

CFontHandle CreateDialogFont(LONG extra_height)
{
    LOGFONTW font = {};
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
    if (IsFamilyInstalled(kPreferredFace))
        wcsncpy(font.lfFaceName, kPreferredFace, LF_FACESIZE - 1);
    if (font.lfHeight < 0)
        font.lfHeight -= extra_height;
    else
        font.lfHeight += extra_height;
    return CFontHandle(CreateFontIndirectW(&font));
}

void ApplyFontToChildren(HWND window, HFONT font)
{
    SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    EnumChildWindows(window, SetChildFont, reinterpret_cast<LPARAM>(font));
}

}  // namespace Helper
