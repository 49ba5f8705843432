#include "client/ui/tag_button.h"

#include "common/win_handle.h"

namespace GUI {

void CTagButton::SetRect(const RECT& rect)
{
    model_.SetRect({rect.left, rect.top, rect.right, rect.bottom});
}

RECT CTagButton::GetRect() const
{
    const Rect& r = model_.rect();
    return {r.left, r.top, r.right, r.bottom};
}

// To repaint is to invalidate the rectangle without erasing it.
void CTagButton::Carry(const TagEffect& effect, HWND parent)
{
    if (effect.notify)
        PostMessageW(parent, WM_TAG_SELECTED, 0, reinterpret_cast<LPARAM>(this));
    if (effect.repaint) {
        RECT r = GetRect();
        InvalidateRect(parent, &r, FALSE);
    }
}

void CTagButton::OnMouse(UINT message, LPARAM lparam, HWND parent)
{
    TagMouse mouse = TagMouseFromMessage(message);
    if (mouse == TagMouse::Other)
        return;
    uint32_t position = static_cast<uint32_t>(lparam);
    Carry(model_.OnMouse(mouse, CursorX(position), CursorY(position)), parent);
}

bool CTagButton::SetState(TagState state, HWND parent)
{
    TagEffect effect = model_.SetState(state);
    Carry(effect, parent);
    return effect.repaint;
}

void CTagButton::Paint(HDC dc) const
{
    RECT r = GetRect();
    if (model_.FillsRect()) {
        Helper::CBrushHandle fill(CreateSolidBrush(colours_[static_cast<int>(model_.state())]));
        FillRect(dc, &r, fill.Get());
    }
    if (!text_)
        return;
    COLORREF before = SetTextColor(dc, model_.HasWhiteText() ? RGB(255, 255, 255) : RGB(0, 0, 0));
    DrawTextW(dc, text_, -1, &r, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
    SetTextColor(dc, before);
}

}  // namespace GUI
