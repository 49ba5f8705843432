// The class factory of one badge: a new one per DllGetClassObject call,
// handing its overlay index to every CGlint it makes.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "overlay/overlay_kind.h"

namespace Glint {

class CGlintClassFactory final : public IClassFactory {
public:
    explicit CGlintClassFactory(OverlayKind kind);
    CGlintClassFactory(const CGlintClassFactory&) = delete;
    CGlintClassFactory& operator=(const CGlintClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    ~CGlintClassFactory();

    ULONG references_ = 0;  // used from one apartment only
    const OverlayKind kind_;
};

}  // namespace Glint
