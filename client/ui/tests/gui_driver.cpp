#include "client/ui/tests/gui_driver.h"

#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <map>

namespace GuiTest {

namespace {

constexpr DWORD kPollMs = 20;
constexpr UINT kSendTimeoutMs = 2000;
constexpr int kTextUnits = 4096;

struct TopSearch {
    const wchar_t* class_name;
    const wchar_t* title;
    DWORD process_id;
    std::vector<HWND> found;
};

bool Matches(HWND window, const wchar_t* class_name, const wchar_t* title)
{
    if (class_name && GetClass(window) != class_name)
        return false;
    return !title || GetText(window) == title;
}

BOOL CALLBACK CollectTop(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<TopSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (search->process_id != 0 && pid != search->process_id)
        return TRUE;
    if (IsWindowVisible(window) && Matches(window, search->class_name, search->title))
        search->found.push_back(window);
    return TRUE;
}

struct ControlSearch {
    int id;
    HWND found;
};

BOOL CALLBACK FindChild(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<ControlSearch*>(param);
    if (GetDlgCtrlID(window) == search->id) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

bool Post(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    return window && PostMessageW(window, message, wparam, lparam);
}

HWND FocusOf(HWND target)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(target, nullptr);
    if (thread && GetGUIThreadInfo(thread, &info) && info.hwndFocus)
        return info.hwndFocus;
    return target;
}

// The window's screen pixels as 32-bit values, row by row.
std::vector<DWORD> CapturePixels(HWND window, int* width, int* height)
{
    RECT r = ScreenRect(window);
    *width = r.right - r.left;
    *height = r.bottom - r.top;
    std::vector<DWORD> pixels;
    if (*width <= 0 || *height <= 0)
        return pixels;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), *width, -*height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, *width, *height, screen, r.left, r.top, SRCCOPY);
        GdiFlush();
        const DWORD* p = static_cast<const DWORD*>(bits);
        pixels.assign(p, p + static_cast<size_t>(*width) * *height);
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

bool PngEncoder(CLSID* clsid)
{
    UINT count = 0;
    UINT bytes = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0)
        return false;
    std::vector<BYTE> buffer(bytes);
    auto* encoders = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (Gdiplus::GetImageEncoders(count, bytes, encoders) != Gdiplus::Ok)
        return false;
    for (UINT i = 0; i < count; ++i) {
        if (wcscmp(encoders[i].MimeType, L"image/png") == 0) {
            *clsid = encoders[i].Clsid;
            return true;
        }
    }
    return false;
}

}  // namespace

HWND FindTopWindow(const wchar_t* class_name, const wchar_t* title, DWORD process_id)
{
    TopSearch search{class_name, title, process_id, {}};
    EnumWindows(CollectTop, reinterpret_cast<LPARAM>(&search));
    return search.found.empty() ? nullptr : search.found.front();
}

HWND WaitForWindow(const wchar_t* class_name, const wchar_t* title, DWORD timeout_ms, DWORD process_id)
{
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindTopWindow(class_name, title, process_id)) != nullptr; }, timeout_ms);
    return found;
}

bool WaitForWindowGone(HWND window, DWORD timeout_ms)
{
    return WaitUntil([&] { return !IsWindow(window); }, timeout_ms);
}

HWND FindControl(HWND dialog, int id)
{
    ControlSearch search{id, nullptr};
    EnumChildWindows(dialog, FindChild, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForControl(HWND dialog, int id, DWORD timeout_ms)
{
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindControl(dialog, id)) != nullptr; }, timeout_ms);
    return found;
}

std::vector<HWND> TopWindowsOfProcess(DWORD process_id)
{
    TopSearch search{nullptr, nullptr, process_id, {}};
    EnumWindows(CollectTop, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// WM_GETTEXT, not GetWindowTextW: for another process's control the latter
// returns only the window's caption, not an edit's current contents.
std::wstring GetText(HWND window)
{
    std::wstring text(kTextUnits, L'\0');
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]),
                             SMTO_ABORTIFHUNG, kSendTimeoutMs, &length))
        return L"";
    text.resize(std::min<size_t>(length, text.size() - 1));
    return text;
}

std::wstring GetControlText(HWND dialog, int id)
{
    HWND control = FindControl(dialog, id);
    return control ? GetText(control) : L"";
}

std::wstring GetClass(HWND window)
{
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

bool IsShown(HWND window)
{
    return window && IsWindowVisible(window);
}

bool IsChecked(HWND button)
{
    DWORD_PTR state = 0;
    SendMessageTimeoutW(button, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &state);
    return state == BST_CHECKED;
}

RECT ScreenRect(HWND window)
{
    RECT r = {};
    GetWindowRect(window, &r);
    return r;
}

bool Click(HWND dialog, int id)
{
    return Post(FindControl(dialog, id), BM_CLICK, 0, 0);
}

bool SendCommand(HWND dialog, int id)
{
    HWND control = FindControl(dialog, id);
    return Post(control ? GetParent(control) : dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                reinterpret_cast<LPARAM>(control));
}

bool SetText(HWND control, const wchar_t* text)
{
    DWORD_PTR result = 0;
    return control && SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text),
                                          SMTO_ABORTIFHUNG, kSendTimeoutMs, &result) &&
           result;
}

bool TypeText(HWND control, const wchar_t* text)
{
    for (; *text; ++text) {
        if (!Post(control, WM_CHAR, *text, 1))
            return false;
    }
    return true;
}

bool PressKey(HWND target, UINT virtual_key)
{
    HWND focus = FocusOf(target);
    UINT scan = MapVirtualKeyW(virtual_key, MAPVK_VK_TO_VSC);
    LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    LPARAM up = down | (1u << 30) | (1u << 31);
    return Post(focus, WM_KEYDOWN, virtual_key, down) && Post(focus, WM_KEYUP, virtual_key, up);
}

bool MoveMouse(HWND window, int x, int y)
{
    return Post(window, WM_MOUSEMOVE, 0, MAKELPARAM(x, y));
}

bool ClickAt(HWND window, int x, int y)
{
    return MoveMouse(window, x, y) && Post(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y)) &&
           Post(window, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
}

bool PostClose(HWND window)
{
    return Post(window, WM_CLOSE, 0, 0);
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start >= timeout_ms)
            return false;
        Sleep(kPollMs);
    }
}

bool WaitForControlText(HWND dialog, int id, const std::wstring& text, DWORD timeout_ms)
{
    return WaitUntil([&] { return GetControlText(dialog, id) == text; }, timeout_ms);
}

std::vector<ColourCount> ScreenColours(HWND window)
{
    int width = 0;
    int height = 0;
    std::map<COLORREF, int> counts;
    for (DWORD p : CapturePixels(window, &width, &height))
        ++counts[RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF)];
    std::vector<ColourCount> colours;
    for (const auto& [colour, n] : counts)
        colours.push_back({colour, n});
    std::sort(colours.begin(), colours.end(), [](const ColourCount& a, const ColourCount& b) {
        return a.pixels > b.pixels;
    });
    return colours;
}

bool ShowsColour(HWND window, COLORREF colour, int min_pixels)
{
    for (const ColourCount& c : ScreenColours(window)) {
        if (c.colour == colour)
            return c.pixels >= min_pixels;
    }
    return false;
}

bool SaveScreenshot(HWND window, const std::wstring& png_path)
{
    int width = 0;
    int height = 0;
    std::vector<DWORD> pixels = CapturePixels(window, &width, &height);
    if (pixels.empty())
        return false;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok)
        return false;
    bool saved = false;
    {
        // Opaque: the captured bytes carry no alpha.
        Gdiplus::Bitmap picture(width, height, width * 4, PixelFormat32bppRGB, reinterpret_cast<BYTE*>(pixels.data()));
        CLSID png = {};
        if (PngEncoder(&png))
            saved = picture.Save(png_path.c_str(), &png, nullptr) == Gdiplus::Ok;
    }
    Gdiplus::GdiplusShutdown(token);
    return saved;
}

HANDLE StartProgram(const std::wstring& command_line)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    std::wstring line = command_line;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    return info.hProcess;
}

bool WaitForExit(HANDLE process, DWORD timeout_ms)
{
    return process && WaitForSingleObject(process, timeout_ms) == WAIT_OBJECT_0;
}

}  // namespace GuiTest
