// The settings centre's tag button without its painting: the state machine
// that the parent's mouse messages and the owner's set-state drive, and
// what the state means for the paint. The window class wraps this and
// carries out the effects (post the tag notice, invalidate the rectangle).
#pragma once

#include <cstdint>

namespace GUI {

struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};
// As the platform tests a point: left and top inside, right and bottom out.
bool Contains(const Rect& rect, int x, int y);

enum class TagState : int32_t { Normal = 0, Hover = 1, Pressed = 2, Selected = 3 };

// The three mouse messages the button looks at; every other message is Other.
enum class TagMouse { Move, Down, Up, Other };
TagMouse TagMouseFromMessage(uint32_t message);
// The cursor position a mouse message carries: signed low and high 16 bits.
int CursorX(uint32_t lparam);
int CursorY(uint32_t lparam);

struct TagEffect {
    bool notify = false;   // post the tag notice to the parent
    bool repaint = false;  // invalidate the rectangle without erasing
};

class CTagButtonModel {
public:
    void SetRect(const Rect& rect) { rect_ = rect; }
    const Rect& rect() const { return rect_; }
    TagState state() const { return state_; }

    TagEffect OnMouse(TagMouse mouse, int x, int y);
    // Selected posts the notice even when the button already is selected;
    // repaint is set exactly when the state changed.
    TagEffect SetState(TagState state);

    // Paint: only pressed and selected fill the rectangle; the text is white
    // when selected, black otherwise.
    bool FillsRect() const { return state_ == TagState::Pressed || state_ == TagState::Selected; }
    bool HasWhiteText() const { return state_ == TagState::Selected; }

private:
    TagEffect Become(TagState state);
    TagEffect OnMove(bool inside);
    TagEffect OnDown(bool inside);

    Rect rect_;
    TagState state_ = TagState::Normal;
};

}  // namespace GUI
