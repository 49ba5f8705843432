// The settings centre's tag button: not a window but a painted rectangle
// of its parent, whose mouse messages the parent hands over. A button that
// becomes selected posts the tag notice to the parent; the state machine
// itself is CTagButtonModel.
#pragma once

#include <windows.h>

#include "client/ui/tag_button_model.h"

namespace GUI {

// Posted to the parent with wParam 0 and lParam = the button that became
// selected; the parent finds its index by the address.
constexpr UINT WM_TAG_SELECTED = WM_USER + 1;

class CTagButton {
public:
    CTagButton() = default;
    virtual ~CTagButton() = default;
    CTagButton(const CTagButton&) = delete;
    CTagButton& operator=(const CTagButton&) = delete;

    void SetRect(const RECT& rect);
    RECT GetRect() const;
    // Not owned; null draws no text.
    void SetText(const wchar_t* text) { text_ = text; }
    void SetColour(TagState state, COLORREF colour) { colours_[static_cast<int>(state)] = colour; }
    TagState GetState() const { return model_.state(); }

    // Every message of the parent but the tag notice; only mouse moves and
    // left-button presses and releases count.
    void OnMouse(UINT message, LPARAM lparam, HWND parent);
    // True when the state changed; selecting always posts the tag notice.
    bool SetState(TagState state, HWND parent);
    // The caller has selected the font and a transparent background.
    void Paint(HDC dc) const;

private:
    void Carry(const TagEffect& effect, HWND parent);

    const wchar_t* text_ = nullptr;
    COLORREF colours_[4] = {};
    CTagButtonModel model_;
};

}  // namespace GUI
