#include "client/sync/transfer_support.h"

#include <cstring>
#include <cwchar>

#include "client/sync/reconcile.h"
#include "common/bounded_string.h"
#include "common/temp_file.h"

namespace Sync {

bool IsSafeName(const wchar_t* name)
{
    if (name == nullptr || name[0] == L'\0' || wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0)
        return false;
    const size_t length = wcslen(name);
    if (length >= static_cast<size_t>(kPathCapacity))
        return false;
    for (size_t i = 0; i < length; ++i) {
        const wchar_t c = name[i];
        if (c < 0x20 || wcschr(L"<>:\"/\\|?*", c) != nullptr)
            return false;
    }
    // The file system takes the name in any letter case for the temporary
    // file of the item it extends.
    const size_t suffix = Helper::kTempFileSuffix.size();
    return length < suffix || _wcsicmp(name + length - suffix, Helper::kTempFileSuffix.data()) != 0;
}

bool IsSafeKey(const std::wstring& key)
{
    if (key.empty())
        return false;
    size_t start = 0;
    while (true) {
        const size_t end = key.find(L'\\', start);
        const std::wstring part = key.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (!IsSafeName(part.c_str()))
            return false;
        if (end == std::wstring::npos)
            return true;
        start = end + 1;
    }
}

CompareResult CompareOwnItem(const ServerEntry& server, const WIN32_FIND_DATAW& found, const wchar_t* path,
                             char (&digest)[kDigestLength], bool names, HANDLE stop_event)
{
    WIN32_FIND_DATAW named = found;
    Helper::CopyBounded(named.cFileName, path);
    char text[kDigestLength + 1] = {};
    memcpy(text, digest, kDigestLength);
    const CompareResult result = CompareToServer(&server, named, text, names, stop_event);
    memcpy(digest, text, kDigestLength);
    return result;
}

CompareResult CompareOtherFile(const ServerEntry& server, const WIN32_FIND_DATAW& found, const wchar_t* path,
                               bool names, HANDLE stop_event)
{
    WIN32_FIND_DATAW named = found;
    Helper::CopyBounded(named.cFileName, path);
    char text[kDigestLength + 1] = {};
    return CompareToServer(&server, named, text, names, stop_event);
}

}  // namespace Sync
