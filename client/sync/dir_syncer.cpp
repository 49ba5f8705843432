#include "client/sync/dir_syncer.h"

#include "client/sync/sync_engine.h"
#include "common/bounded_string.h"

namespace Sync {

namespace {

// The system's names are not terminated; copies are, cut to 259 units.
void CopyName(wchar_t (&out)[kPathCapacity], const wchar_t* name, DWORD bytes)
{
    out[0] = L'\0';
    if (name != nullptr)
        Helper::CopyBounded(out, kPathCapacity, name, bytes / sizeof(wchar_t));
}

}  // namespace

CDirSyncer::CDirSyncer(const wchar_t* user_name, const wchar_t* sync_folder)
{
    CSyncEngine::Instance().Start(user_name, sync_folder);
}

CDirSyncer::~CDirSyncer() { CSyncEngine::Instance().Stop(0); }

void ForwardPathChange(CSyncEngine& engine, int kind, const wchar_t* name, DWORD name_bytes, const wchar_t* new_name,
                       DWORD new_name_bytes)
{
    wchar_t path[kPathCapacity];
    wchar_t other[kPathCapacity];
    CopyName(path, name, name_bytes);
    CopyName(other, new_name, new_name_bytes);
    engine.OnPathChanged(path, kind, other);
}

void CDirSyncer::OnPathChanged(int kind, const wchar_t* name, DWORD name_bytes, const wchar_t* new_name,
                               DWORD new_name_bytes)
{
    ForwardPathChange(CSyncEngine::Instance(), kind, name, name_bytes, new_name, new_name_bytes);
}

}  // namespace Sync
