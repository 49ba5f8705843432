#include "client/ui/tests/dialog_preview.h"

#include <commctrl.h>

#include <cstdio>

namespace Preview {

namespace {

constexpr int kButtonMargin = 8;
constexpr int kFrameId = 1006;

struct Child {
    HWND window;
    int id;
    std::wstring class_name;
    RECT rect;  // in the parent's client coordinates
};

std::wstring TextOf(HWND window)
{
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}

std::wstring WithoutLinkTags(std::wstring text)
{
    for (const wchar_t* tag : {L"<a>", L"</a>"}) {
        for (size_t at; (at = text.find(tag)) != std::wstring::npos;)
            text.erase(at, wcslen(tag));
    }
    return text;
}

std::vector<Child> VisibleChildren(HWND parent)
{
    std::vector<Child> children;
    for (HWND w = GetWindow(parent, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) {
        // The style bit, not IsWindowVisible: the check runs on a hidden dialog.
        if (!(GetWindowLongW(w, GWL_STYLE) & WS_VISIBLE))
            continue;
        wchar_t name[64] = {};
        GetClassNameW(w, name, 64);
        RECT r;
        GetWindowRect(w, &r);
        MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
        children.push_back({w, GetDlgCtrlID(w), name, r});
    }
    return children;
}

// Width and height the text needs in the control's font; wrapped to the
// given width when it is not 0.
SIZE Needed(HWND control, const std::wstring& text, int wrap_width)
{
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
    RECT r = {0, 0, wrap_width, 0};
    UINT flags = DT_CALCRECT | (wrap_width ? DT_WORDBREAK | DT_EXPANDTABS : DT_SINGLELINE);
    DrawTextW(dc, text.c_str(), -1, &r, flags);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return {r.right - r.left, r.bottom - r.top};
}

std::wstring Problem(int dialog, const Child& c, const wchar_t* what, SIZE need, SIZE have)
{
    wchar_t line[512];
    swprintf(line, 512, L"dialog %d, control %d (%ls): %ls, needs %ldx%ld, has %ldx%ld",
             dialog, c.id, c.class_name.c_str(), what, need.cx, need.cy, have.cx, have.cy);
    return line;
}

void CheckText(int dialog, const Child& c, std::vector<std::wstring>* problems)
{
    std::wstring text = TextOf(c.window);
    if (text.empty())
        return;
    LONG style = GetWindowLongW(c.window, GWL_STYLE);
    SIZE have = {c.rect.right - c.rect.left, c.rect.bottom - c.rect.top};
    SIZE need = {0, 0};
    if (_wcsicmp(c.class_name.c_str(), L"Static") == 0) {
        if ((style & SS_TYPEMASK) > SS_RIGHT)
            return;
        need = Needed(c.window, text, have.cx);
    } else if (_wcsicmp(c.class_name.c_str(), L"Button") == 0) {
        LONG type = style & BS_TYPEMASK;
        need = Needed(c.window, text, 0);
        bool box = type == BS_AUTOCHECKBOX || type == BS_CHECKBOX || type == BS_AUTORADIOBUTTON ||
                   type == BS_RADIOBUTTON;
        need.cx += box ? GetSystemMetrics(SM_CXMENUCHECK) + 4 : kButtonMargin;
    } else if (_wcsicmp(c.class_name.c_str(), WC_LINK) == 0) {
        need = Needed(c.window, WithoutLinkTags(text), 0);
    } else {
        return;
    }
    if (need.cx > have.cx || need.cy > have.cy)
        problems->push_back(Problem(dialog, c, L"text does not fit", need, have));
}

// Controls that touch may share a pixel after the rounding of dialog units.
bool Intersect(const RECT& a, const RECT& b)
{
    RECT inner_a = a;
    InflateRect(&inner_a, -1, -1);
    RECT out;
    return IntersectRect(&out, &inner_a, &b) != FALSE;
}

bool MayOverlap(const Child& a, const Child& b)
{
    auto exempt = [](const Child& c) {
        return c.id == kFrameId || _wcsicmp(c.class_name.c_str(), UPDOWN_CLASSW) == 0;
    };
    return exempt(a) || exempt(b);
}

}  // namespace

std::vector<std::wstring> CheckLayout(HWND dialog, int dialog_id)
{
    std::vector<std::wstring> problems;
    RECT client;
    GetClientRect(dialog, &client);
    std::vector<Child> children = VisibleChildren(dialog);
    for (size_t i = 0; i < children.size(); ++i) {
        const Child& c = children[i];
        RECT inside;
        if (!IntersectRect(&inside, &c.rect, &client) || !EqualRect(&inside, &c.rect))
            problems.push_back(Problem(dialog_id, c, L"outside the dialog", {c.rect.right, c.rect.bottom},
                                       {client.right, client.bottom}));
        CheckText(dialog_id, c, &problems);
        for (size_t j = i + 1; j < children.size(); ++j) {
            if (!MayOverlap(c, children[j]) && Intersect(c.rect, children[j].rect))
                problems.push_back(Problem(dialog_id, c, (L"overlaps control " + std::to_wstring(children[j].id)).c_str(),
                                           {0, 0}, {0, 0}));
        }
    }
    return problems;
}

std::vector<std::wstring> CheckHeadings(HWND page, int page_id, const std::vector<RECT>& heading_extents)
{
    std::vector<std::wstring> problems;
    for (const Child& c : VisibleChildren(page)) {
        for (const RECT& h : heading_extents) {
            if (Intersect(c.rect, h))
                problems.push_back(Problem(page_id, c, L"runs into a painted heading", {h.right, h.bottom},
                                           {h.left, h.top}));
        }
    }
    return problems;
}

}  // namespace Preview
