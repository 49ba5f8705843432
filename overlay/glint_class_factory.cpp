#include "overlay/glint_class_factory.h"

#include <new>

#include "overlay/glint.h"

namespace Glint {

HRESULT STDMETHODCALLTYPE CGlintClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    CGlint* object = new (std::nothrow) CGlint(kind_);
    if (!object)
        return E_OUTOFMEMORY;
    return HandOver(object, iid, out);
}

HRESULT STDMETHODCALLTYPE CGlintClassFactory::LockServer(BOOL) { return E_NOTIMPL; }

}  // namespace Glint
