// The sync folder as the wizard's folder page and the settings centre
// choose it: the folder browser, making the folder with its missing
// parents, and the boxes that refuse a folder that cannot be made or ask
// before a folder that is not empty is used.
#pragma once

#include <windows.h>

#include "common/bounded_string.h"

namespace GUI {

// The folder browser rooted at the desktop, titled "选择Tessel文件夹". When
// the user picks a file-system folder whose path does not begin with "\",
// `folder` becomes that path + "\TavoTessel\" + the user name and the
// result is true; otherwise `folder` stays.
bool PickSyncFolder(HWND owner, const wchar_t* user, wchar_t (&folder)[Helper::kPathCapacity]);

// Makes the folder and its missing parents one level at a time; a level
// that exists counts as made. Only an absolute path with a drive letter
// can be a sync folder: anything else is not made.
bool MakeFolderTree(const wchar_t* path);
// A file, or a folder holding any entry other than "." and "..", is not an
// empty folder.
bool IsEmptyFolder(const wchar_t* path);
// Without regard to letter case.
bool IsSameFolder(const wchar_t* a, const wchar_t* b);

enum class FolderCheck {
    Accepted,
    NotMade,   // the "cannot create" box was shown
    Declined,  // the user answered No to the non-empty question
};
// Makes the chosen folder and, when it differs from the current sync
// folder and is not empty, asks whether to go on. The boxes are owned by
// `owner`.
FolderCheck CheckChosenFolder(HWND owner, const wchar_t* path, const wchar_t* current_folder);

}  // namespace GUI
