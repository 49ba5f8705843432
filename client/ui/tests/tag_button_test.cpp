// The tag button and the settings centre's drawing as the platform carries
// them out: what a button paints in each state, the notice and repaints its
// mouse handling produces in a real parent window, and the gradient.
#include "client/ui/custom_draw.h"
#include "client/shell/dialog_font.h"
#include "client/ui/tag_button.h"

#include <gtest/gtest.h>

namespace {

using GUI::CTagButton;
using GUI::TagState;

constexpr COLORREF kBackground = RGB(0x40, 0x60, 0x80);
constexpr COLORREF kPressed = RGB(0x10, 0xC0, 0x10);
constexpr COLORREF kSelected = RGB(0x20, 0x30, 0xD0);
constexpr RECT kRect = {11, 11, 99, 41};

// A bitmap of the background colour in a memory DC, with the dialog font
// selected and a transparent background, as the parent paints.
class CCanvas {
public:
    CCanvas() : font_(Helper::CreateDialogFont())
    {
        HDC screen = GetDC(nullptr);
        dc_ = CreateCompatibleDC(screen);
        bitmap_.Reset(CreateCompatibleBitmap(screen, kWidth, kHeight));
        ReleaseDC(nullptr, screen);
        old_bitmap_ = SelectObject(dc_, bitmap_.Get());
        old_font_ = SelectObject(dc_, font_.Get());
        SetBkMode(dc_, TRANSPARENT);
        RECT all = {0, 0, kWidth, kHeight};
        Helper::CBrushHandle fill(CreateSolidBrush(kBackground));
        FillRect(dc_, &all, fill.Get());
    }
    ~CCanvas()
    {
        SelectObject(dc_, old_font_);
        SelectObject(dc_, old_bitmap_);
        DeleteDC(dc_);
    }
    HDC dc() const { return dc_; }
    COLORREF At(int x, int y) const { return GetPixel(dc_, x, y); }
    // Pixels of text drawn antialiased over a fill: clearly darker or
    // lighter than the fill.
    int Darker(const RECT& r, COLORREF fill) const
    {
        int level = Level(fill) - kMargin;
        return Count(r, [level](COLORREF c) { return Level(c) < level; });
    }
    int Lighter(const RECT& r, COLORREF fill) const
    {
        int level = Level(fill) + kMargin;
        return Count(r, [level](COLORREF c) { return Level(c) > level; });
    }

    static constexpr int kWidth = 120;
    static constexpr int kHeight = 60;

private:
    static constexpr int kMargin = 24;
    static int Level(COLORREF c) { return (GetRValue(c) + GetGValue(c) + GetBValue(c)) / 3; }
    template <typename Test>
    int Count(const RECT& r, Test test) const
    {
        int n = 0;
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x)
                n += test(At(x, y)) ? 1 : 0;
        return n;
    }

    Helper::CFontHandle font_;
    Helper::CBitmapHandle bitmap_;
    HDC dc_ = nullptr;
    HGDIOBJ old_bitmap_ = nullptr;
    HGDIOBJ old_font_ = nullptr;
};

void Prepare(CTagButton& button, const wchar_t* text)
{
    button.SetRect(kRect);
    button.SetText(text);
    button.SetColour(TagState::Normal, RGB(1, 2, 3));
    button.SetColour(TagState::Hover, RGB(4, 5, 6));
    button.SetColour(TagState::Pressed, kPressed);
    button.SetColour(TagState::Selected, kSelected);
}

// A parent whose notices and invalidations can be read back.
class CParent {
public:
    CParent()
    {
        // Shown, since a hidden window collects no update region, but off
        // the screen, out of the way of other tests' windows.
        window_ = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, L"STATIC", L"", WS_POPUP | WS_VISIBLE, -1000,
                                  -1000, 200, 200, nullptr, nullptr, nullptr, nullptr);
        ValidateRect(window_, nullptr);
    }
    ~CParent() { DestroyWindow(window_); }
    HWND window() const { return window_; }
    // Takes the tag notices posted since the last call.
    std::vector<LPARAM> Notices()
    {
        std::vector<LPARAM> found;
        MSG msg;
        while (PeekMessageW(&msg, window_, GUI::WM_TAG_SELECTED, GUI::WM_TAG_SELECTED, PM_REMOVE)) {
            EXPECT_EQ(msg.wParam, 0u);
            found.push_back(msg.lParam);
        }
        return found;
    }
    // Whether the button's rectangle was invalidated since the last call,
    // and not for erasing.
    bool Repainted()
    {
        RECT r;
        bool pending = GetUpdateRect(window_, &r, FALSE) != 0;
        ValidateRect(window_, nullptr);
        return pending && EqualRect(&r, &kRect);
    }

private:
    HWND window_ = nullptr;
};

LPARAM At(int x, int y)
{
    return MAKELPARAM(x, y);
}

TEST(TagButtonPaint, OnlyPressedAndSelectedFillTheirColour)
{
    const struct {
        TagState state;
        COLORREF corner;
    } cases[] = {
        {TagState::Normal, kBackground},
        {TagState::Hover, kBackground},
        {TagState::Pressed, kPressed},
        {TagState::Selected, kSelected},
    };
    for (const auto& c : cases) {
        CCanvas canvas;
        CTagButton button;
        Prepare(button, nullptr);
        CParent parent;
        button.SetState(c.state, parent.window());
        button.Paint(canvas.dc());
        SCOPED_TRACE(static_cast<int>(c.state));
        EXPECT_EQ(canvas.At(kRect.left, kRect.top), c.corner);
        EXPECT_EQ(canvas.At(kRect.right - 1, kRect.bottom - 1), c.corner);
        EXPECT_EQ(canvas.At(kRect.right, kRect.bottom), kBackground) << "nothing outside the rectangle";
    }
}

TEST(TagButtonPaint, TextIsWhiteWhenSelectedAndBlackOtherwise)
{
    for (TagState state : {TagState::Normal, TagState::Hover, TagState::Pressed, TagState::Selected}) {
        CCanvas canvas;
        CTagButton button;
        Prepare(button, L"同步设置");
        CParent parent;
        button.SetState(state, parent.window());
        COLORREF before = SetTextColor(canvas.dc(), RGB(7, 8, 9));
        button.Paint(canvas.dc());
        SCOPED_TRACE(static_cast<int>(state));
        bool selected = state == TagState::Selected;
        COLORREF fill = canvas.At(kRect.left, kRect.top);
        EXPECT_EQ(canvas.Lighter(kRect, fill) > 10, selected);
        EXPECT_EQ(canvas.Darker(kRect, fill) > 10, !selected);
        EXPECT_EQ(GetTextColor(canvas.dc()), RGB(7, 8, 9)) << "the text colour is restored";
        SetTextColor(canvas.dc(), before);
    }
}

TEST(TagButtonPaint, TextIsCentred)
{
    CCanvas canvas;
    CTagButton button;
    Prepare(button, L"常规选项");
    CParent parent;
    button.Paint(canvas.dc());
    const int mid_x = (kRect.left + kRect.right) / 2;
    const int mid_y = (kRect.top + kRect.bottom) / 2;
    int left = canvas.Darker({kRect.left, kRect.top, mid_x, kRect.bottom}, kBackground);
    int right = canvas.Darker({mid_x, kRect.top, kRect.right, kRect.bottom}, kBackground);
    int top = canvas.Darker({kRect.left, kRect.top, kRect.right, mid_y}, kBackground);
    int bottom = canvas.Darker({kRect.left, mid_y, kRect.right, kRect.bottom}, kBackground);
    ASSERT_GT(left + right, 20);
    EXPECT_LT(abs(left - right), (left + right) / 3);
    EXPECT_LT(abs(top - bottom), (top + bottom) / 2);
}

TEST(TagButtonMouse, PressAndAnyMoveSelectsBeforeTheRelease)
{
    CParent parent;
    CTagButton button;
    Prepare(button, L"同步设置");
    button.OnMouse(WM_MOUSEMOVE, At(20, 20), parent.window());
    EXPECT_EQ(button.GetState(), TagState::Hover);
    EXPECT_TRUE(parent.Repainted());
    button.OnMouse(WM_LBUTTONDOWN, At(20, 20), parent.window());
    EXPECT_EQ(button.GetState(), TagState::Pressed);
    EXPECT_TRUE(parent.Repainted());
    EXPECT_TRUE(parent.Notices().empty());
    button.OnMouse(WM_MOUSEMOVE, At(21, 20), parent.window());
    EXPECT_EQ(button.GetState(), TagState::Selected);
    EXPECT_EQ(parent.Notices(), std::vector<LPARAM>{reinterpret_cast<LPARAM>(&button)});
    EXPECT_TRUE(parent.Repainted());
    button.OnMouse(WM_LBUTTONUP, At(21, 20), parent.window());
    EXPECT_TRUE(parent.Notices().empty()) << "the release selects nothing more";
    EXPECT_FALSE(parent.Repainted());
}

TEST(TagButtonMouse, ReleaseInsideSelectsAndOtherMessagesAreIgnored)
{
    CParent parent;
    CTagButton button;
    Prepare(button, nullptr);
    button.OnMouse(WM_RBUTTONDOWN, At(20, 20), parent.window());
    button.OnMouse(WM_LBUTTONDBLCLK, At(20, 20), parent.window());
    EXPECT_EQ(button.GetState(), TagState::Normal);
    EXPECT_FALSE(parent.Repainted());
    button.OnMouse(WM_LBUTTONUP, At(98, 40), parent.window());
    EXPECT_EQ(button.GetState(), TagState::Selected);
    EXPECT_EQ(parent.Notices().size(), 1u);
    // The cursor position is signed: a position left of the window is outside.
    CTagButton other;
    Prepare(other, nullptr);
    other.OnMouse(WM_MOUSEMOVE, At(-20, 20), parent.window());
    EXPECT_EQ(other.GetState(), TagState::Normal);
}

TEST(TagButtonMouse, PressOutsideReturnsAHoveredButtonAndKeepsTheSelectedOne)
{
    CParent parent;
    CTagButton hovered, selected;
    Prepare(hovered, nullptr);
    Prepare(selected, nullptr);
    hovered.OnMouse(WM_MOUSEMOVE, At(20, 20), parent.window());
    selected.SetState(TagState::Selected, parent.window());
    parent.Notices();
    parent.Repainted();
    hovered.OnMouse(WM_LBUTTONDOWN, At(150, 150), parent.window());
    selected.OnMouse(WM_LBUTTONDOWN, At(150, 150), parent.window());
    EXPECT_EQ(hovered.GetState(), TagState::Normal);
    EXPECT_EQ(selected.GetState(), TagState::Selected);
    EXPECT_TRUE(parent.Repainted());
    EXPECT_TRUE(parent.Notices().empty());
}

TEST(TagButtonSetState, SelectingAgainPostsTheNoticeWithoutRepainting)
{
    CParent parent;
    CTagButton button;
    Prepare(button, nullptr);
    EXPECT_TRUE(button.SetState(TagState::Selected, parent.window()));
    EXPECT_EQ(parent.Notices().size(), 1u);
    EXPECT_TRUE(parent.Repainted());
    EXPECT_FALSE(button.SetState(TagState::Selected, parent.window()));
    EXPECT_EQ(parent.Notices().size(), 1u);
    EXPECT_FALSE(parent.Repainted());
    EXPECT_TRUE(button.SetState(TagState::Normal, parent.window()));
    EXPECT_TRUE(parent.Notices().empty());
    EXPECT_TRUE(parent.Repainted());
}

TEST(CustomDraw, VerticalGradientRunsFromTopToBottomColour)
{
    CCanvas canvas;
    const RECT r = {0, 0, CCanvas::kWidth, CCanvas::kHeight};
    GUI::FillVerticalGradient(canvas.dc(), r, RGB(255, 255, 255), RGB(0, 0, 0));
    EXPECT_EQ(canvas.At(5, 0), RGB(255, 255, 255));
    COLORREF bottom = canvas.At(5, CCanvas::kHeight - 1);
    EXPECT_LT(GetRValue(bottom), 10);
    COLORREF middle = canvas.At(5, CCanvas::kHeight / 2);
    EXPECT_NEAR(GetGValue(middle), 128, 12);
    EXPECT_EQ(canvas.At(0, 30), canvas.At(CCanvas::kWidth - 1, 30)) << "the same across a row";
}

TEST(CustomDraw, SystemColoursAreKeptFromTheFirstRead)
{
    EXPECT_EQ(GUI::ButtonFaceColour(), GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(GUI::HighlightColour(), GetSysColor(COLOR_HIGHLIGHT));
    EXPECT_EQ(GUI::ButtonFaceColour(), GUI::ButtonFaceColour());
}

}  // namespace
