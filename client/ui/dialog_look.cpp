#include "client/ui/dialog_look.h"

#include "client/shell/resource.h"

#include <objidl.h>
#include <gdiplus.h>

#include <cstring>

namespace GUI {

namespace {

constexpr int kSmallIconSize = 16;

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
