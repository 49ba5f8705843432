// The settings centre's own drawing: the gradient background of the main
// dialog with its tag panel and tag buttons, and the page frames with
// their title bands, section headings and separator lines. Plain GDI.
#pragma once

#include <windows.h>

#include "client/ui/tag_button.h"

namespace GUI {

constexpr COLORREF kOutlineGrey = RGB(0xA0, 0xA0, 0xA0);
constexpr COLORREF kWhite = RGB(255, 255, 255);

// The system colours the drawing uses, read once per process and kept.
COLORREF ButtonFaceColour();
COLORREF HighlightColour();

// Two vertices, one rectangle: `top` at the top edge, `bottom` at the bottom.
void FillVerticalGradient(HDC dc, const RECT& rect, COLORREF top, COLORREF bottom);

// The main dialog on WM_PAINT: white to button face from top to bottom,
// the white tag panel from the first button down to 40 pixels above the
// bottom, and the buttons in order.
void PaintSettingsDialog(HWND dialog, HFONT font, HBRUSH white, const CTagButton* tags, int count);

// A page on WM_PAINT: its white frame, the title band with the page's
// window text, and the page's headings and separators.
void PaintSettingsPage(HWND page, int page_id, HFONT font, HBRUSH white);

}  // namespace GUI
