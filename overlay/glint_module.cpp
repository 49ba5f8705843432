#include "overlay/glint_module.h"

#include <objbase.h>
#include <olectl.h>

#include <new>

#include "common/bounded_string.h"
#include "overlay/glint_class_factory.h"
#include "overlay/overlay_kind.h"
#include "overlay/registrar.h"
#include "overlay/resource.h"
#include "overlay/sync_folder_table.h"

namespace Glint {

namespace {

HMODULE g_module = nullptr;
volatile LONG g_live_objects = 0;
CSyncFolderTable* g_folder_table = nullptr;

constexpr wchar_t kRegistryResourceType[] = L"REGISTRY";
constexpr wchar_t kModuleReplacement[] = L"MODULE";

class CRegistrarRef {
public:
    CRegistrarRef() = default;
    CRegistrarRef(const CRegistrarRef&) = delete;
    CRegistrarRef& operator=(const CRegistrarRef&) = delete;
    ~CRegistrarRef()
    {
        if (registrar_)
            registrar_->Release();
    }
    HRESULT Create()
    {
        return CoCreateInstance(kClsidRegistrar, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                kIidRegistrar, reinterpret_cast<void**>(&registrar_));
    }
    IRegistrar* operator->() const { return registrar_; }

private:
    IRegistrar* registrar_ = nullptr;
};

// Runs the registration script of this module forwards or backwards.
HRESULT RunRegistrationScript(bool install)
{
    CRegistrarRef registrar;
    HRESULT result = registrar.Create();
    if (FAILED(result))
        return result;
    wchar_t path[Helper::kPathCapacity];
    DWORD length = GetModuleFileNameW(g_module, path, Helper::kPathCapacity);
    if (length == 0 || length >= Helper::kPathCapacity)
        return length == 0 ? HRESULT_FROM_WIN32(GetLastError()) : HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    result = registrar->AddReplacement(kModuleReplacement, path);
    if (FAILED(result))
        return result;
    return install ? registrar->ResourceRegister(path, IDR_GLINT_REGISTRY, kRegistryResourceType)
                   : registrar->ResourceUnregister(path, IDR_GLINT_REGISTRY, kRegistryResourceType);
}

int OverlayIndexOf(REFCLSID clsid)
{
    for (OverlayKind kind = 0; kind < kOverlayCount; ++kind) {
        if (IsEqualCLSID(clsid, kOverlayClassIds[kind]))
            return static_cast<int>(kind);
    }
    return -1;
}

}  // namespace

HMODULE ModuleHandle() { return g_module; }

void ObjectCreated() { InterlockedIncrement(&g_live_objects); }

void ObjectDestroyed() { InterlockedDecrement(&g_live_objects); }

CSyncFolderTable* FolderTable() { return g_folder_table; }

}  // namespace Glint

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    using namespace Glint;
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        g_folder_table = new (std::nothrow) CSyncFolderTable();
    } else if (reason == DLL_PROCESS_DETACH && !reserved) {
        // At process exit (reserved set) other threads were stopped
        // wherever they were, maybe inside the table: the memory goes with
        // the process anyway.
        delete g_folder_table;
        g_folder_table = nullptr;
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out)
{
    using namespace Glint;
    if (!out)
        return E_POINTER;
    *out = nullptr;
    int index = OverlayIndexOf(clsid);
    if (index < 0)
        return CLASS_E_CLASSNOTAVAILABLE;
    CGlintClassFactory* factory = new (std::nothrow) CGlintClassFactory(static_cast<OverlayKind>(index));
    if (!factory)
        return E_OUTOFMEMORY;
    return HandOver(factory, iid, out);
}

STDAPI DllCanUnloadNow()
{
    return Glint::g_live_objects == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() { return Glint::RunRegistrationScript(true); }

STDAPI DllUnregisterServer() { return Glint::RunRegistrationScript(false); }

STDAPI DllInstall(BOOL install, LPCWSTR)
{
    if (!install)
        return DllUnregisterServer();
    HRESULT result = DllRegisterServer();
    if (FAILED(result))
        DllUnregisterServer();
    return result;
}

}  // extern "C"
