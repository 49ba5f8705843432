// The class factory of one badge: a new one per DllGetClassObject call,
// handing its overlay index to every CGlint it makes.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "overlay/com_object.h"
#include "overlay/overlay_kind.h"

namespace Glint {

class CGlintClassFactory final : public CComObject<CGlintClassFactory, IClassFactory, IID_IClassFactory> {
public:
    explicit CGlintClassFactory(OverlayKind kind) : kind_(kind) {}

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    friend class CComObject<CGlintClassFactory, IClassFactory, IID_IClassFactory>;
    ~CGlintClassFactory() = default;

    const OverlayKind kind_;
};

}  // namespace Glint
