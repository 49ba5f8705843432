#include "common/md5.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "common/win_handle.h"

namespace Helper {

static_assert(sizeof(unsigned long) == sizeof(ULONG), "MD5 context must match the platform layout");

namespace {
using Md5InitFn = void(WINAPI*)(Md5Context*);
using Md5UpdateFn = void(WINAPI*)(Md5Context*, const unsigned char*, unsigned int);
using Md5FinalFn = void(WINAPI*)(Md5Context*);

struct Md5Binding {
    Md5InitFn init = nullptr;
    Md5UpdateFn update = nullptr;
    Md5FinalFn final = nullptr;
};

// Bound once; forgotten for good by UnbindMd5. Each call reads the
// binding once, so that a hash never mixes a bound and a forgotten step.
std::mutex g_bind_lock;
Md5Binding g_binding;
CModuleHandle g_module;
bool g_released = false;
std::atomic<const Md5Binding*> g_md5{nullptr};

template <typename Fn>
Fn Bind(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void BindLocked()
{
    CModuleHandle module(LoadLibraryW(L"AdvApi32.dll"));
    if (!module)
        return;
    Md5Binding binding;
    binding.init = Bind<Md5InitFn>(module.Get(), "MD5Init");
    binding.update = Bind<Md5UpdateFn>(module.Get(), "MD5Update");
    binding.final = Bind<Md5FinalFn>(module.Get(), "MD5Final");
    if (!binding.init || !binding.update || !binding.final)
        return;
    g_binding = binding;
    g_module = std::move(module);
    g_md5.store(&g_binding);
}
}  // namespace

bool BindMd5()
{
    if (Md5Available())
        return true;
    std::lock_guard<std::mutex> hold(g_bind_lock);
    if (!g_released && !Md5Available())
        BindLocked();
    return Md5Available();
}

void UnbindMd5()
{
    std::lock_guard<std::mutex> hold(g_bind_lock);
    g_released = true;
    g_md5.store(nullptr);
    // The library is one the programs import anyway: a call still inside
    // it keeps running on the loaded code.
    g_module.Reset();
}

bool Md5Available() { return g_md5.load() != nullptr; }

void Md5Init(Md5Context* context)
{
    if (const Md5Binding* md5 = g_md5.load())
        md5->init(context);
}

void Md5Update(Md5Context* context, const void* data, unsigned int length)
{
    if (const Md5Binding* md5 = g_md5.load())
        md5->update(context, static_cast<const unsigned char*>(data), length);
}

bool Md5Final(Md5Context* context)
{
    const Md5Binding* md5 = g_md5.load();
    if (md5 == nullptr)
        return false;
    md5->final(context);
    return true;
}

bool Md5Hex(const void* data, size_t length, char (&out)[kMd5HexLength + 1])
{
    if (!BindMd5())
        return false;
    Md5Context context{};
    Md5Init(&context);
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        unsigned int chunk = static_cast<unsigned int>(std::min<size_t>(length, 1u << 30));
        Md5Update(&context, bytes, chunk);
        bytes += chunk;
        length -= chunk;
    }
    if (!Md5Final(&context))
        return false;
    FormatDigestHex(context.digest, out);
    return true;
}

}  // namespace Helper
