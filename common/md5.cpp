#include "common/md5.h"

#include <windows.h>

#include <algorithm>
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

Md5Binding g_md5;
std::once_flag g_bindOnce;

template <typename Fn>
Fn Bind(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void BindOnce()
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
    g_md5 = binding;
    // Bound, the module stays loaded for the life of the process: the
    // functions are used until exit.
    module.Release();
}
}  // namespace

bool BindMd5()
{
    std::call_once(g_bindOnce, BindOnce);
    return Md5Available();
}

bool Md5Available() { return g_md5.final != nullptr; }

void Md5Init(Md5Context* context)
{
    if (g_md5.init)
        g_md5.init(context);
}

void Md5Update(Md5Context* context, const void* data, unsigned int length)
{
    if (g_md5.update)
        g_md5.update(context, static_cast<const unsigned char*>(data), length);
}

void Md5Final(Md5Context* context)
{
    if (g_md5.final)
        g_md5.final(context);
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
    Md5Final(&context);
    FormatDigestHex(context.digest, out);
    return true;
}

}  // namespace Helper
