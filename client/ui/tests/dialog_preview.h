// Layout checks of the dialog preview: texts that do not fit their
// controls, controls that overlap or leave their dialog, and painted
// headings that run into controls.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace Preview {

std::vector<std::wstring> CheckLayout(HWND dialog, int dialog_id);
// Headings painted on a page, for the overlap check: text extents in the
// page's client coordinates.
std::vector<std::wstring> CheckHeadings(HWND page, int page_id, const std::vector<RECT>& heading_extents);

}  // namespace Preview
