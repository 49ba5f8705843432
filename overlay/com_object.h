// IUnknown of the module's COM objects: the one interface each implements
// besides IUnknown, a reference count (an object lives in one apartment),
// and the module's count of live objects that keeps the DLL loaded.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "overlay/glint_module.h"

namespace Glint {

template <typename Derived, typename Interface, const IID& kInterfaceId>
class CComObject : public Interface {
public:
    CComObject(const CComObject&) = delete;
    CComObject& operator=(const CComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, kInterfaceId))
            return E_NOINTERFACE;
        *out = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --references_;
        if (left == 0)
            delete static_cast<Derived*>(this);
        return left;
    }

protected:
    CComObject() { ObjectCreated(); }
    ~CComObject() { ObjectDestroyed(); }

private:
    ULONG references_ = 0;
};

// Hands a new object's interface to the caller. The object is held once
// across the query, so that a refused interface frees it.
template <typename Object>
HRESULT HandOver(Object* object, REFIID iid, void** out)
{
    object->AddRef();
    const HRESULT result = object->QueryInterface(iid, out);
    object->Release();
    return result;
}

}  // namespace Glint
