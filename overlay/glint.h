// One badge as Explorer sees it: an overlay identifier that claims the
// paths whose sync state equals its overlay index.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include "overlay/overlay_kind.h"

namespace Glint {

class CGlint final : public IShellIconOverlayIdentifier {
public:
    explicit CGlint(OverlayKind kind);
    CGlint(const CGlint&) = delete;
    CGlint& operator=(const CGlint&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE IsMemberOf(LPCWSTR path, DWORD attributes) override;
    HRESULT STDMETHODCALLTYPE GetOverlayInfo(LPWSTR icon_file, int capacity, int* index, DWORD* flags) override;
    HRESULT STDMETHODCALLTYPE GetPriority(int* priority) override;

private:
    ~CGlint();
    bool Claims(LPCWSTR path) const;

    ULONG references_ = 0;  // used from one apartment only
    const OverlayKind kind_;
};

}  // namespace Glint
