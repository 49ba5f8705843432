#include "client/ui/custom_draw.h"

#include "client/ui/settings_rules.h"
#include "common/bounded_string.h"
#include "common/win_handle.h"

namespace GUI {

namespace {

constexpr int kCorner = 3;
constexpr int kPanelBottomMargin = 40;
constexpr int kBandBottom = 26;
constexpr int kBandTextLeft = 9;

COLOR16 Channel(BYTE value)
{
    return static_cast<COLOR16>(value << 8);
}

TRIVERTEX Vertex(LONG x, LONG y, COLORREF colour)
{
    return {x, y, Channel(GetRValue(colour)), Channel(GetGValue(colour)), Channel(GetBValue(colour)), 0};
}

// Selects the font and the pen for the painting and sets a transparent
// background; restores what was selected when it ends.
class CPaintSetup {
public:
    CPaintSetup(HDC dc, HFONT font) : dc_(dc), pen_(CreatePen(PS_SOLID, 1, kOutlineGrey))
    {
        old_font_ = SelectObject(dc, font);
        old_pen_ = SelectObject(dc, pen_.Get());
        old_mode_ = SetBkMode(dc, TRANSPARENT);
    }
    ~CPaintSetup()
    {
        SetBkMode(dc_, old_mode_);
        SelectObject(dc_, old_pen_);
        SelectObject(dc_, old_font_);
    }
    CPaintSetup(const CPaintSetup&) = delete;
    CPaintSetup& operator=(const CPaintSetup&) = delete;

private:
    HDC dc_;
    Helper::CPenHandle pen_;
    HGDIOBJ old_font_;
    HGDIOBJ old_pen_;
    int old_mode_;
};

// A rounded rectangle in the grey outline, filled with the brush.
void Panel(HDC dc, const RECT& r, HBRUSH fill)
{
    HGDIOBJ old = SelectObject(dc, fill);
    RoundRect(dc, r.left, r.top, r.right, r.bottom, kCorner, kCorner);
    SelectObject(dc, old);
}

void DrawLine(HDC dc, const wchar_t* text, RECT r)
{
    DrawTextW(dc, text, -1, &r, DT_SINGLELINE | DT_VCENTER);
}

void PaintDecoration(HDC dc, int page_id, const RECT& client)
{
    PageDecoration deco = PageDecorationFor(page_id, {client.left, client.top, client.right, client.bottom});
    for (const SectionHeading& h : deco.headings) {
        std::wstring text(h.text.begin(), h.text.end());
        DrawLine(dc, text.c_str(), {h.rect.left, h.rect.top, h.rect.right, h.rect.bottom});
    }
    for (const SeparatorLine& l : deco.lines) {
        MoveToEx(dc, l.left, l.y, nullptr);
        LineTo(dc, l.right, l.y);
    }
}

}  // namespace

COLORREF ButtonFaceColour()
{
    static const COLORREF colour = GetSysColor(COLOR_BTNFACE);
    return colour;
}

COLORREF HighlightColour()
{
    static const COLORREF colour = GetSysColor(COLOR_HIGHLIGHT);
    return colour;
}

void FillVerticalGradient(HDC dc, const RECT& rect, COLORREF top, COLORREF bottom)
{
    TRIVERTEX vertices[2] = {Vertex(rect.left, rect.top, top), Vertex(rect.right, rect.bottom, bottom)};
    GRADIENT_RECT mesh = {0, 1};
    GradientFill(dc, vertices, 2, &mesh, 1, GRADIENT_FILL_RECT_V);
}

void PaintSettingsDialog(HWND dialog, HFONT font, HBRUSH white, const CTagButton* tags, int count)
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(dialog, &ps);
    {
        CPaintSetup setup(dc, font);
        RECT client;
        GetClientRect(dialog, &client);
        FillVerticalGradient(dc, client, kWhite, ButtonFaceColour());
        if (count > 0) {
            RECT first = tags[0].GetRect();
            Panel(dc, {first.left - 1, first.top - 1, first.right + 1, client.bottom - kPanelBottomMargin}, white);
        }
        for (int i = 0; i < count; ++i)
            tags[i].Paint(dc);
    }
    EndPaint(dialog, &ps);
}

void PaintSettingsPage(HWND page, int page_id, HFONT font, HBRUSH white)
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(page, &ps);
    {
        CPaintSetup setup(dc, font);
        RECT client;
        GetClientRect(page, &client);
        Panel(dc, client, white);
        FillVerticalGradient(dc, {client.left + 1, client.top + 1, client.right - 1, client.top + kBandBottom},
                             kWhite, ButtonFaceColour());
        wchar_t title[Helper::kPathCapacity] = {};
        GetWindowTextW(page, title, Helper::kPathCapacity);
        DrawLine(dc, title, {client.left + kBandTextLeft, client.top + 1, client.right - 1, client.top + kBandBottom});
        PaintDecoration(dc, page_id, client);
    }
    EndPaint(page, &ps);
}

}  // namespace GUI
