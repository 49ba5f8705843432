#include "client/ui/dialog_look.h"

#include "client/ui/resource.h"
#include "client/ui/wizard_rules.h"
#include "common/bounded_string.h"

#include <objidl.h>
#include <gdiplus.h>

#include <cstring>

namespace GUI {

namespace {

constexpr wchar_t kPreferredFace[] = L"Tahoma";
constexpr int kSmallIconSize = 16;

int CALLBACK FontFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found)
{
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

bool IsFontInstalled(const wchar_t* face)
{
    LOGFONTW query = {};
    query.lfCharSet = DEFAULT_CHARSET;
    Helper::CopyBounded(query.lfFaceName, LF_FACESIZE, face);
    bool found = false;
    HDC screen = GetDC(nullptr);
    EnumFontFamiliesExW(screen, &query, FontFound, reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, screen);
    return found;
}

// The resource's bytes in a movable memory block that the stream owns.
IStream* StreamOfResource(HINSTANCE instance, int id, const wchar_t* type)
{
    HRSRC info = FindResourceW(instance, MAKEINTRESOURCEW(id), type);
    HGLOBAL loaded = info ? LoadResource(instance, info) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    DWORD size = info ? SizeofResource(instance, info) : 0;
    if (!bytes || size == 0)
        return nullptr;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    void* target = block ? GlobalLock(block) : nullptr;
    if (!target) {
        if (block)
            GlobalFree(block);
        return nullptr;
    }
    memcpy(target, bytes, size);
    GlobalUnlock(block);
    IStream* stream = nullptr;
    if (CreateStreamOnHGlobal(block, TRUE, &stream) != S_OK) {
        GlobalFree(block);
        return nullptr;
    }
    return stream;
}

// GDI+ runs only while the picture is decoded.
HBITMAP DecodeOnBlack(IStream* stream)
{
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok)
        return nullptr;
    HBITMAP result = nullptr;
    Gdiplus::GpBitmap* bitmap = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromStream(stream, &bitmap) == Gdiplus::Ok) {
        const Gdiplus::ARGB opaque_black = 0xFF000000;
        if (Gdiplus::DllExports::GdipCreateHBITMAPFromBitmap(bitmap, &result, opaque_black) != Gdiplus::Ok)
            result = nullptr;
        Gdiplus::DllExports::GdipDisposeImage(bitmap);
    }
    Gdiplus::GdiplusShutdown(token);
    return result;
}

}  // namespace

LOGFONTW DialogLogFont()
{
    LOGFONTW lf = {};
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
    if (IsFontInstalled(kPreferredFace))
        Helper::CopyBounded(lf.lfFaceName, LF_FACESIZE, kPreferredFace);
    return lf;
}

Helper::CFontHandle MakeDialogFont()
{
    LOGFONTW lf = DialogLogFont();
    return Helper::CFontHandle(CreateFontIndirectW(&lf));
}

Helper::CFontHandle MakeHeaderFont()
{
    LOGFONTW lf = DialogLogFont();
    lf.lfHeight = HeaderFontHeight(lf.lfHeight);
    return Helper::CFontHandle(CreateFontIndirectW(&lf));
}

Helper::CBrushHandle MakeWhiteBrush()
{
    return Helper::CBrushHandle(CreateSolidBrush(RGB(255, 255, 255)));
}

Helper::CBitmapHandle LoadSidePicture(HINSTANCE instance)
{
    IStream* stream = StreamOfResource(instance, IDR_WIZARD_PICTURE, L"PNG");
    if (!stream)
        return Helper::CBitmapHandle();
    HBITMAP picture = DecodeOnBlack(stream);
    stream->Release();
    return Helper::CBitmapHandle(picture);
}

void SetFontOnAll(HWND window, HFONT font)
{
    SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
}

// Icons loaded shared belong to the system; nothing to free.
void SetProductIcons(HWND window, HINSTANCE instance)
{
    HANDLE big_icon = LoadImageW(instance, MAKEINTRESOURCEW(IDI_PRODUCT), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED);
    HANDLE small_icon = LoadImageW(instance, MAKEINTRESOURCEW(IDI_PRODUCT), IMAGE_ICON, kSmallIconSize, kSmallIconSize,
                              LR_SHARED);
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big_icon));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon));
}

}  // namespace GUI
