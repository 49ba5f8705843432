#include "overlay/glint_class_factory.h"

#include <new>

#include "overlay/glint.h"
#include "overlay/glint_module.h"

namespace Glint {

CGlintClassFactory::CGlintClassFactory(OverlayKind kind) : kind_(kind) {}

CGlintClassFactory::~CGlintClassFactory() { ObjectDestroyed(); }

HRESULT STDMETHODCALLTYPE CGlintClassFactory::QueryInterface(REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory))
        return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CGlintClassFactory::AddRef() { return ++references_; }

ULONG STDMETHODCALLTYPE CGlintClassFactory::Release()
{
    ULONG left = --references_;
    if (left == 0)
        delete this;
    return left;
}

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
    ObjectCreated();
    // Held once across the query, so that a refused interface frees it.
    object->AddRef();
    HRESULT result = object->QueryInterface(iid, out);
    object->Release();
    return result;
}

HRESULT STDMETHODCALLTYPE CGlintClassFactory::LockServer(BOOL) { return E_NOTIMPL; }

}  // namespace Glint
