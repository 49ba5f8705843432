#include "client/sync/reconcile.h"

#include <cstring>
#include <cwchar>
#include <new>

#include "client/net/session_values.h"
#include "client/sync/file_utils.h"
#include "client/sync/sync_engine.h"
#include "common/bounded_string.h"
#include "common/file_sync_state.h"
#include "common/temp_file.h"

namespace Sync {

namespace {

// The steps both comparisons share; check_time adds the recorded time
// between the size and the contents.
CompareResult Compare(const SyncEntry* view, const WIN32_FIND_DATAW& local, char* digest, bool names,
                      bool check_time, HANDLE stop_event)
{
    const bool view_absent = view == nullptr || IsAbsent(*view);
    if (IsMissing(local))
        return view_absent ? CompareEqual : CompareDifferent;
    if (view_absent)
        return CompareDifferent;
    if (digest == nullptr)
        return CompareUndecidable;
    const bool folder = IsLocalFolder(local);
    if (folder == (view->is_file != 0))
        return CompareDifferent;
    if (names) {
        // cFileName holds the full path; the name follows its last backslash.
        const wchar_t* slash = wcsrchr(local.cFileName, L'\\');
        if (view->name.empty() || slash == nullptr)
            return CompareUndecidable;
        if (_wcsicmp(slash + 1, view->name.c_str()) != 0)
            return CompareDifferent;
    }
    if (folder)
        return CompareEqual;
    if (LocalSize(local) != view->size)
        return CompareDifferent;
    if (check_time && view->local_modified != 0 && view->local_modified != LocalTime(local))
        return CompareDifferent;
    if (!FillDigest(local, digest, stop_event))
        return CompareUndecidable;
    return memcmp(digest, view->md5, kDigestLength) == 0 ? CompareEqual : CompareDifferent;
}

class CDecider {
public:
    CDecider(SyncDecision& decision, CSyncEngine* engine) : d_(decision)
    {
        if (engine != nullptr)
            stop_ = engine->StopEvent();
    }

    void Run()
    {
        switch (d_.entry.state) {
        case Helper::Synced:
            d_.kind = SyncedRules();
            break;
        case Helper::NotSynced:
        case Helper::Syncing:
            d_.kind = PendingRules();
            break;
        case Helper::Error:
            d_.kind = ErrorRules();
            break;
        case Helper::Conflict:
            d_.kind = ConflictRules();
            break;
        default:
            d_.kind = KindNone;
            break;
        }
    }

private:
    HANDLE Stop() const { return StopHandle(stop_); }
    CompareResult ToServer(bool names = true)
    {
        return CompareToServer(&d_.server, d_.local, d_.digest, names, Stop());
    }
    CompareResult ToEntry() { return CompareToEntry(&d_.entry, d_.local, d_.digest, Stop()); }
    bool Missing() const { return IsMissing(d_.local); }

    enum class Space { Unknown, DoesNotFit, Fits };

    // Unknown only when figures are required and no account space came yet.
    Space SpaceCheck(bool figures_required) const
    {
        const Net::AccountSpace quota = Net::CurrentAccountSpace();
        if (figures_required && quota.total == 0 && quota.free == 0)
            return Space::Unknown;
        const uint64_t size = LocalSize(d_.local);
        return size > quota.total || size > quota.free ? Space::DoesNotFit : Space::Fits;
    }

    // The kind when the space check decides alone; KindNone when it does
    // not (the item fits).
    bool DecidedBySpace(int32_t* kind) const
    {
        switch (SpaceCheck(true)) {
        case Space::Unknown:
            *kind = KindNone;
            return true;
        case Space::DoesNotFit:
            *kind = KindError;
            return true;
        default:
            return false;
        }
    }

    int32_t SyncedRules()
    {
        int32_t by_space = KindNone;
        if (DecidedBySpace(&by_space))
            return by_space;
        const uint32_t server_time = static_cast<uint32_t>(d_.server.update_time);
        const uint32_t record_time = static_cast<uint32_t>(d_.entry.update_time);
        if (server_time > record_time)
            return ServerNewer();
        if (server_time == record_time)
            return ServerUnchanged();
        if (server_time != 0)
            return KindVersionInfo;
        return ServerGone();
    }

    // The kind for each outcome of a comparison. An undecidable one never
    // acts, and the kind for a difference is only worked out when needed.
    template <typename WhenDifferent>
    static int32_t ByOutcome(CompareResult compared, int32_t when_equal, WhenDifferent when_different)
    {
        switch (compared) {
        case CompareEqual:
            return when_equal;
        case CompareDifferent:
            return when_different();
        default:
            return KindNone;
        }
    }

    int32_t ServerNewer()
    {
        return ByOutcome(ToServer(), KindVersionInfo, [&] { return LocalChangedOrNot(); });
    }

    int32_t LocalChangedOrNot()
    {
        return ByOutcome(ToEntry(), KindDownload, [&]() -> int32_t { return Missing() ? KindDownload : KindConflict; });
    }

    int32_t ServerUnchanged()
    {
        const CompareResult to_entry = ToEntry();
        if (to_entry == CompareUndecidable)
            return KindNone;
        const CompareResult to_server = ToServer();
        if (to_entry == CompareEqual)
            return to_server == CompareDifferent ? KindVersionInfo : KindNone;
        switch (to_server) {
        case CompareEqual:
            return KindVersionInfo;
        case CompareDifferent:
            return TemporaryFileRule();
        default:
            return KindNone;
        }
    }

    int32_t ServerGone()
    {
        return ByOutcome(ToServer(), KindVersionInfo, [&] {
            return ByOutcome(ToEntry(), KindDownload, []() -> int32_t { return KindUpload; });
        });
    }

    // A finished download that was never put in place is put there now
    // instead of uploading the old local copy over the server's newer one.
    // Only a temporary file with the server's contents as the record knows
    // them counts as one; any other (an unfinished fetch, another program's
    // file of that name) never decides against the local change.
    int32_t TemporaryFileRule()
    {
        wchar_t temporary[kPathCapacity];
        if (!Helper::CopyBounded(temporary, d_.local.cFileName) ||
            !Helper::AppendBounded(temporary, kPathCapacity, Helper::kTempFileSuffix.data()))
            return KindNone;
        WIN32_FIND_DATAW found{};
        DWORD error = ERROR_SUCCESS;
        if (!Helper::FindItem(&found, temporary, &error))
            return Helper::IsNotFoundError(error) ? KindUpload : KindNone;
        Helper::CopyBounded(found.cFileName, temporary);
        char temporary_digest[kDigestLength + 1] = {};
        switch (CompareToServer(&d_.server, found, temporary_digest, false, Stop())) {
        case CompareEqual:
            if (!RecordHoldsServerContents())
                return KindUpload;
            Helper::DeletePath(d_.local.cFileName);
            Helper::MovePath(temporary, d_.local.cFileName);
            return KindNone;
        case CompareDifferent:
            return KindUpload;
        default:
            return KindNone;
        }
    }

    bool RecordHoldsServerContents() const
    {
        return d_.entry.size == d_.server.size && memcmp(d_.entry.md5, d_.server.md5, kDigestLength) == 0;
    }

    int32_t PendingRules()
    {
        int32_t by_space = KindNone;
        if (DecidedBySpace(&by_space))
            return by_space;
        return ByOutcome(ToServer(), KindVersionInfo,
                         [&]() -> int32_t { return d_.entry.id > 0 ? PendingOnServer() : UploadUnlessServerMoved(); });
    }

    // Local contents go up over the server's entry only as the record last
    // saw it. A version the record has not seen (another computer's, put
    // there while this upload stood interrupted) makes both sides changed.
    int32_t UploadUnlessServerMoved() const
    {
        const bool moved = !IsAbsent(d_.server) && d_.server.update_time != d_.entry.update_time;
        return moved ? KindConflict : KindUpload;
    }

    // An item the server has, whose download or upload did not finish. A
    // download records the server's contents with the local size and time;
    // an upload records the local contents. So a record that describes the
    // local file tells an upload, and an upload must not be finished by
    // fetching the server's older copy over the edit.
    int32_t PendingOnServer()
    {
        if (Missing() || IsLocalFolder(d_.local))
            return KindDownload;
        return ByOutcome(ToEntry(), UploadUnlessServerMoved(), [&]() -> int32_t {
            // Written since the download was decided: both sides changed. A
            // record without a local time was made for an item new here,
            // so a local file there now is one made since as well.
            return d_.entry.local_modified == LocalTime(d_.local) ? KindDownload : KindConflict;
        });
    }

    int32_t ConflictRules()
    {
        if (SpaceCheck(false) == Space::DoesNotFit)
            return KindNone;
        if (Missing())
            return KindDownload;
        if (IsAbsent(d_.server))
            return KindUpload;
        return ToServer() == CompareEqual ? KindVersionInfo : KindNone;
    }

    int32_t ErrorRules()
    {
        if (SpaceCheck(false) == Space::DoesNotFit)
            return KindNone;
        if (IsAbsent(d_.server))
            return KindUpload;
        return ByOutcome(ToServer(), KindVersionInfo, [&] { return LocalChangedOrNot(); });
    }

    SyncDecision& d_;
    std::shared_ptr<Helper::CHandle> stop_;
};

}  // namespace

bool FillDigest(const WIN32_FIND_DATAW& local, char* digest, HANDLE stop_event)
{
    if (digest[0] != '\0')
        return true;
    Helper::DigestText text;
    const bool done = stop_event ? Helper::FileDigestCancellable(local.cFileName, stop_event, text)
                                 : Helper::FileDigest(local.cFileName, text);
    if (!done)
        return false;
    memcpy(digest, text, sizeof(text));
    return true;
}

CompareResult CompareToServer(const ServerEntry* server, const WIN32_FIND_DATAW& local, char* digest, bool names,
                              HANDLE stop_event)
{
    return Compare(server, local, digest, names, false, stop_event);
}

CompareResult CompareToEntry(const SyncEntry* entry, const WIN32_FIND_DATAW& local, char* digest, HANDLE stop_event)
{
    return Compare(entry, local, digest, true, true, stop_event);
}

std::unique_ptr<SyncDecision> Decide(const WIN32_FIND_DATAW& local, const ServerEntry& server, CSyncEngine* engine,
                                     const SyncEntry& entry)
{
    // An absent record has state 0 and follows the rules for Synced.
    if (!Helper::IsValidFileSyncState(entry.state))
        return nullptr;
    std::unique_ptr<SyncDecision> decision(new (std::nothrow) SyncDecision);
    if (!decision)
        return nullptr;
    decision->server = server;
    decision->entry = entry;
    decision->local = local;
    CDecider(*decision, engine).Run();
    return decision;
}

}  // namespace Sync
