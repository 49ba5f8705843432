#include "client/state/sync_state_table.h"

#include <shlobj.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "client/state/state_file.h"
#include "common/bounded_string.h"
#include "common/registry_access.h"
#include "common/time_share.h"

namespace Sync {

namespace {

constexpr DWORD kNotifyWindowMask = 0xFFFFFC00;

void BuildPath(SyncNode* node)
{
    const SyncNode* parent = node->parent;
    if (parent == nullptr)
        return;
    if (parent->parent == nullptr)
        Helper::CopyBounded(node->entry.path, kPathCapacity, node->entry.name.c_str());
    else
        Helper::FormatBounded(node->entry.path, kPathCapacity, L"%s\\%s", parent->entry.path,
                              node->entry.name.c_str());
}

void RebuildPaths(SyncNode* node)
{
    BuildPath(node);
    for (auto& child : node->children)
        RebuildPaths(child.get());
}

// Splits at the last separator: parent part (empty for the root) and leaf.
void SplitPath(const wchar_t* path, std::wstring* parent, std::wstring* leaf)
{
    const wchar_t* sep = wcsrchr(path, L'\\');
    if (sep == nullptr) {
        parent->clear();
        leaf->assign(path);
    } else {
        parent->assign(path, sep - path);
        leaf->assign(sep + 1);
    }
}

void CopyFileFields(const SyncEntry& from, SyncEntry* to)
{
    to->local_modified = from.local_modified;
    to->size = from.size;
    std::memcpy(to->md5, from.md5, kDigestLength);
    to->upload_address = from.upload_address;
    to->upload_port = from.upload_port;
    std::memcpy(to->upload_token, from.upload_token, kDigestLength);
    to->upload_offset = from.upload_offset;
}

void CollectInto(std::vector<SyncEntry>* list, const SyncNode* folder, uint32_t state)
{
    for (const auto& child : folder->children) {
        if (child->entry.state == state)
            list->push_back(child->entry);
        if (child->entry.is_file == 0)
            CollectInto(list, child.get(), state);
    }
}

size_t CountBeneath(const SyncNode* node)
{
    size_t n = node->children.size();
    for (const auto& child : node->children)
        n += CountBeneath(child.get());
    return n;
}

}  // namespace

SyncNode* AttachChild(SyncNode* parent, std::unique_ptr<SyncNode> child)
{
    child->parent = parent;
    child->entry.parent_id = parent->entry.id;
    BuildPath(child.get());
    parent->children.push_back(std::move(child));
    return parent->children.back().get();
}

CSyncStateTable::CSyncStateTable(const wchar_t* user_name) : CSyncStateTable(user_name, nullptr) {}

CSyncStateTable::CSyncStateTable(const wchar_t* user_name, const wchar_t* state_file_path)
{
    root_.entry.id = 0;
    Helper::CopyBounded(user_name_, user_name);
    if (state_file_path != nullptr)
        Helper::CopyBounded(state_file_path_, state_file_path);
    else
        StateFilePathFor(user_name_, state_file_path_);
    Load();
}

CSyncStateTable::~CSyncStateTable() = default;

void CSyncStateTable::Load()
{
    Helper::CLockGuard guard(lock_);
    if (state_file_path_[0] == L'\0' || GetFileAttributesW(state_file_path_) == INVALID_FILE_ATTRIBUTES)
        return;
    char stored[33];
    if (!Helper::ReadStateDigest(user_name_, stored))
        return;
    char actual[33];
    if (StateFileDigest(state_file_path_, actual) && _stricmp(actual, stored) != 0)
        return;
    ReadStateFile(state_file_path_, &root_);
}

SyncNode* CSyncStateTable::FindNode(const wchar_t* path)
{
    SyncNode* node = &root_;
    if (path == nullptr)
        return node;
    while (*path != L'\0') {
        const wchar_t* sep = wcschr(path, L'\\');
        size_t length = sep ? static_cast<size_t>(sep - path) : wcslen(path);
        SyncNode* match = nullptr;
        for (auto& child : node->children) {
            const std::wstring& name = child->entry.name;
            if (name.size() == length && _wcsnicmp(name.c_str(), path, length) == 0) {
                match = child.get();
                break;
            }
        }
        if (match == nullptr)
            return nullptr;
        // Lookups keep each entry's parent id in step with its folder.
        match->entry.parent_id = node->entry.id;
        node = match;
        if (sep == nullptr)
            break;
        path = sep + 1;
    }
    return node;
}

bool CSyncStateTable::Find(const wchar_t* path, SyncEntry* copy)
{
    Helper::CLockGuard guard(lock_);
    SyncNode* node = FindNode(path);
    if (node == nullptr)
        return false;
    if (copy != nullptr)
        *copy = node->entry;
    return true;
}

bool CSyncStateTable::UpdateLocked(const SyncEntry* record, const wchar_t* path, bool* state_changed)
{
    if (record == nullptr || path == nullptr)
        return false;
    SyncNode* node = FindNode(path);
    if (node == nullptr)
        return false;
    SyncEntry& e = node->entry;
    *state_changed = e.state != record->state;
    e.is_file = record->is_file;
    e.state = record->state;
    e.id = record->id;
    e.update_time = record->update_time;
    if (record->is_file == 1)
        CopyFileFields(*record, &e);
    Save();
    return true;
}

bool CSyncStateTable::Update(const SyncEntry* record, const wchar_t* path)
{
    bool state_changed = false;
    {
        Helper::CLockGuard guard(lock_);
        if (!UpdateLocked(record, path, &state_changed))
            return false;
        state_changed = state_changed && TakeNotifyWindow();
    }
    if (state_changed)
        NotifyShell(path);
    return true;
}

bool CSyncStateTable::AddLocked(const SyncEntry* record, const wchar_t* path)
{
    if (record == nullptr || path == nullptr || FindNode(path) != nullptr)
        return false;
    std::wstring parent_path;
    std::wstring leaf;
    SplitPath(path, &parent_path, &leaf);
    SyncNode* parent = FindNode(parent_path.c_str());
    if (parent == nullptr)
        return false;
    auto node = std::make_unique<SyncNode>();
    SyncEntry& e = node->entry;
    e.is_file = record->is_file;
    e.state = record->state;
    e.id = record->id;
    e.name = leaf;
    if (record->update_time != 0)
        e.update_time = record->update_time;
    if (record->is_file == 1)
        CopyFileFields(*record, &e);
    AttachChild(parent, std::move(node));
    Save();
    return true;
}

bool CSyncStateTable::Add(const SyncEntry* record, const wchar_t* path)
{
    bool notify;
    {
        Helper::CLockGuard guard(lock_);
        if (!AddLocked(record, path))
            return false;
        notify = TakeNotifyWindow();
    }
    if (notify)
        NotifyShell(path);
    return true;
}

bool CSyncStateTable::Store(const SyncEntry* record, const wchar_t* path)
{
    bool notify;
    {
        Helper::CLockGuard guard(lock_);
        bool state_changed = true;
        if (!UpdateLocked(record, path, &state_changed) && !AddLocked(record, path))
            return false;
        notify = state_changed && TakeNotifyWindow();
    }
    if (notify)
        NotifyShell(path);
    return true;
}

bool CSyncStateTable::Remove(const wchar_t* path)
{
    bool notify;
    {
        Helper::CLockGuard guard(lock_);
        if (path == nullptr || path[0] == L'\0')
            return false;
        SyncNode* node = FindNode(path);
        if (node == nullptr)
            return false;
        auto& siblings = node->parent->children;
        for (auto it = siblings.begin(); it != siblings.end(); ++it) {
            if (it->get() == node) {
                siblings.erase(it);
                break;
            }
        }
        Save();
        notify = TakeNotifyWindow();
    }
    if (notify)
        NotifyShell(path);
    return true;
}

void CSyncStateTable::Clear()
{
    Helper::CLockGuard guard(lock_);
    root_.children.clear();
    root_.entry = SyncEntry();
    root_.entry.id = 0;
    Save();
}

bool CSyncStateTable::Rename(const wchar_t* old_path, const wchar_t* new_path, int32_t update_time)
{
    if (old_path == nullptr || new_path == nullptr)
        return false;
    {
        Helper::CLockGuard guard(lock_);
        // A new path that differs only in letter case names the entry itself.
        SyncNode* taken = FindNode(new_path);
        if (taken != nullptr && taken != FindNode(old_path))
            return false;
        std::wstring old_parent, old_leaf, new_parent, new_leaf;
        SplitPath(old_path, &old_parent, &old_leaf);
        SplitPath(new_path, &new_parent, &new_leaf);
        const bool old_nested = wcschr(old_path, L'\\') != nullptr;
        const bool new_nested = wcschr(new_path, L'\\') != nullptr;
        if (old_nested != new_nested)
            return false;
        if (new_nested && (new_leaf.empty() || _wcsicmp(old_parent.c_str(), new_parent.c_str()) != 0))
            return false;
        SyncNode* node = FindNode(old_path);
        if (node == nullptr || node == &root_)
            return false;
        node->entry.name = new_leaf;
        if (update_time != 0)
            node->entry.update_time = update_time;
        // Entries beneath a renamed folder carry its new name in their paths.
        RebuildPaths(node);
        Save();
        if (!TakeNotifyWindow())
            return true;
    }
    NotifyShell(new_path);
    return true;
}

void CSyncStateTable::Collect(std::vector<SyncEntry>* list, const wchar_t* folder_path, uint32_t state)
{
    Helper::CLockGuard guard(lock_);
    if (list == nullptr)
        return;
    SyncNode* folder = FindNode(folder_path);
    if (folder != nullptr)
        CollectInto(list, folder, state);
}

std::vector<SyncEntry> CSyncStateTable::Children(const wchar_t* folder_path)
{
    Helper::CLockGuard guard(lock_);
    std::vector<SyncEntry> list;
    SyncNode* folder = FindNode(folder_path);
    if (folder != nullptr) {
        for (const auto& child : folder->children)
            list.push_back(child->entry);
    }
    return list;
}

size_t CSyncStateTable::Size()
{
    Helper::CLockGuard guard(lock_);
    return CountBeneath(&root_);
}

void CSyncStateTable::Save()
{
    Helper::CTimeShareScope timing(Helper::TimeShare::StateSaves);
    if (!WriteStateFile(&root_, state_file_path_, &save_buffer_))
        return;
    char digest[33];
    if (StateFileDigest(state_file_path_, digest))
        Helper::WriteStateDigest(user_name_, digest);
}

// At most one path is announced to the shell per 1024-ms window of the
// tick counter; Explorer picks up the others from the state file.
bool CSyncStateTable::TakeNotifyWindow()
{
    DWORD window = TickCount() & kNotifyWindowMask;
    bool fresh = window != notify_window_;
    notify_window_ = window;
    return fresh;
}

void CSyncStateTable::NotifyShell(const wchar_t* path)
{
    wchar_t full[kPathCapacity] = {};
    if (!Helper::ReadAccountFolder(user_name_, full))
        return;
    Helper::AppendBounded(full, kPathCapacity, L"\\");
    Helper::AppendBounded(full, kPathCapacity, path);
    AnnounceToShell(full);
}

DWORD CSyncStateTable::TickCount() const { return GetTickCount(); }

void CSyncStateTable::AnnounceToShell(const wchar_t* full_path)
{
    SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHW | SHCNF_FLUSHNOWAIT, full_path, nullptr);
}

}  // namespace Sync
