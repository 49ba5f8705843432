// What the two transfer actions share: the check that a path formed from a
// server-supplied name stays inside the sync folder, the refresh of an
// item's find data, and comparisons that reuse an action's digest.
#pragma once

#include <windows.h>

#include <string>

#include "client/sync/reconcile.h"
#include "client/sync/sync_action.h"

namespace Sync {

// A name that may become one path component: not empty, not "." or "..",
// no separator, no drive or stream colon, no wildcard, no control
// character and no other character the file system refuses, and not ending
// in ".tavo" in any letter case (a download's temporary file).
bool IsSafeName(const wchar_t* name);
// Every backslash-separated component of the relative path is safe.
bool IsSafeKey(const std::wstring& key);

// CompareToServer on an action's own item, filling the action's digest at
// most once.
// found describes path, which goes into the compared find data.
CompareResult CompareOwnItem(const ServerEntry& server, const WIN32_FIND_DATAW& found, const wchar_t* path,
                             char (&digest)[kDigestLength], bool names, HANDLE stop_event);
// CompareToServer on another file: its own digest, the action's is left
// alone.
CompareResult CompareOtherFile(const ServerEntry& server, const WIN32_FIND_DATAW& found, const wchar_t* path,
                               bool names, HANDLE stop_event);

}  // namespace Sync
