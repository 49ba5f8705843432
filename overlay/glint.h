// One badge as Explorer sees it: an overlay identifier that claims the
// paths whose sync state equals its overlay index.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include "overlay/com_object.h"
#include "overlay/overlay_kind.h"

namespace Glint {

class CGlint final
    : public CComObject<CGlint, IShellIconOverlayIdentifier, kIidShellIconOverlayIdentifier> {
public:
    explicit CGlint(OverlayKind kind) : kind_(kind) {}

    HRESULT STDMETHODCALLTYPE IsMemberOf(LPCWSTR path, DWORD attributes) override;
    HRESULT STDMETHODCALLTYPE GetOverlayInfo(LPWSTR icon_file, int capacity, int* index, DWORD* flags) override;
    HRESULT STDMETHODCALLTYPE GetPriority(int* priority) override;

private:
    friend class CComObject<CGlint, IShellIconOverlayIdentifier, kIidShellIconOverlayIdentifier>;
    ~CGlint() = default;
    bool Claims(LPCWSTR path) const;

    const OverlayKind kind_;
};

}  // namespace Glint
