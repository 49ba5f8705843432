#include "overlay/glint.h"

#include <new>

#include "common/bounded_string.h"
#include "common/file_sync_state.h"
#include "overlay/glint_module.h"
#include "overlay/state_tree.h"
#include "overlay/sync_folder_table.h"

namespace Glint {

namespace {

// Explorer hands over a buffer of at least MAX_PATH for the icon file.
constexpr int kMinIconFileCapacity = MAX_PATH;

}  // namespace

HRESULT STDMETHODCALLTYPE CGlint::IsMemberOf(LPCWSTR path, DWORD)
{
    if (!path)
        return E_INVALIDARG;
    // Explorer's thread must get an answer whatever happens in here.
    try {
        return Claims(path) ? S_OK : S_FALSE;
    } catch (...) {
        return S_FALSE;
    }
}

bool CGlint::Claims(LPCWSTR path) const
{
    CSyncFolderTable* table = FolderTable();
    if (!table || !table->IsInSyncFolder(path))
        return false;
    char16_t lowered[Helper::kPathCapacity];
    CopyLowered(reinterpret_cast<const char16_t*>(path), lowered, Helper::kPathCapacity);
    bool temporary = StripTempExtension(lowered);
    int state = table->LookupState(reinterpret_cast<const wchar_t*>(lowered));
    // A download in progress whose file is not synced yet shows as failed
    // too; Explorer's priorities decide which of the two badges wins.
    if (state == Helper::NotSynced && temporary && kind_ == Helper::Error)
        return true;
    return state == static_cast<int>(kind_);
}

HRESULT STDMETHODCALLTYPE CGlint::GetOverlayInfo(LPWSTR icon_file, int capacity, int* index, DWORD* flags)
{
    if (!icon_file || !index || !flags)
        return E_POINTER;
    if (capacity < kMinIconFileCapacity)
        return E_INVALIDARG;
    if (kind_ >= kOverlayCount)
        return S_FALSE;
    *index = static_cast<int>(kind_);
    DWORD length = GetModuleFileNameW(ModuleHandle(), icon_file, static_cast<DWORD>(capacity));
    if (length == 0 || length >= static_cast<DWORD>(capacity)) {
        icon_file[0] = L'\0';
        return length == 0 ? HRESULT_FROM_WIN32(GetLastError()) : HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    *flags = ISIOI_ICONFILE | ISIOI_ICONINDEX;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CGlint::GetPriority(int* priority)
{
    if (!priority)
        return E_POINTER;
    *priority = static_cast<int>(kind_);
    return S_OK;
}

}  // namespace Glint
