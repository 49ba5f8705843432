#include "client/ui/tag_button_model.h"

namespace GUI {

namespace {

constexpr uint32_t kMouseMove = 0x0200;
constexpr uint32_t kLeftButtonDown = 0x0201;
constexpr uint32_t kLeftButtonUp = 0x0202;

}  // namespace

bool Contains(const Rect& rect, int x, int y)
{
    return x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom;
}

TagMouse TagMouseFromMessage(uint32_t message)
{
    switch (message) {
    case kMouseMove:
        return TagMouse::Move;
    case kLeftButtonDown:
        return TagMouse::Down;
    case kLeftButtonUp:
        return TagMouse::Up;
    default:
        return TagMouse::Other;
    }
}

int CursorX(uint32_t lparam)
{
    return static_cast<int16_t>(lparam & 0xFFFF);
}

int CursorY(uint32_t lparam)
{
    return static_cast<int16_t>(lparam >> 16);
}

TagEffect CTagButtonModel::Become(TagState state)
{
    TagEffect effect;
    effect.repaint = state_ != state;
    state_ = state;
    return effect;
}

// A press followed by any movement selects at once, without waiting for
// the release.
TagEffect CTagButtonModel::OnMove(bool inside)
{
    if (state_ == TagState::Selected)
        return {};
    if (state_ == TagState::Pressed) {
        state_ = TagState::Selected;
        return {true, true};
    }
    return Become(inside ? TagState::Hover : TagState::Normal);
}

TagEffect CTagButtonModel::OnDown(bool inside)
{
    if (inside)
        return Become(TagState::Pressed);
    if (state_ == TagState::Hover || state_ == TagState::Pressed)
        return Become(TagState::Normal);
    return {};
}

TagEffect CTagButtonModel::OnMouse(TagMouse mouse, int x, int y)
{
    bool inside = Contains(rect_, x, y);
    switch (mouse) {
    case TagMouse::Move:
        return OnMove(inside);
    case TagMouse::Down:
        return OnDown(inside);
    case TagMouse::Up:
        if (inside && state_ != TagState::Selected) {
            state_ = TagState::Selected;
            return {true, true};
        }
        return {};
    default:
        return {};
    }
}

TagEffect CTagButtonModel::SetState(TagState state)
{
    TagEffect effect = Become(state);
    effect.notify = state == TagState::Selected;
    return effect;
}

}  // namespace GUI
