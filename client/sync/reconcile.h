// The comparisons of a local item with the server's and the recorded view,
// and the rules that turn the three views into a decision.
#pragma once

#include <windows.h>

#include <memory>

#include "client/sync/sync_action.h"

namespace Sync {

class CSyncEngine;

enum CompareResult : int {
    CompareEqual = 0,
    CompareDifferent = 1,
    CompareUndecidable = 2,
};

// digest holds the local file's digest once computed (first character zero
// until then) and is filled at most once; null makes any comparison that
// needs contents undecidable. stop_event (may be null) cuts a digest short.
CompareResult CompareToServer(const ServerEntry* server, const WIN32_FIND_DATAW& local, char* digest, bool names,
                              HANDLE stop_event = nullptr);
CompareResult CompareToEntry(const SyncEntry* entry, const WIN32_FIND_DATAW& local, char* digest,
                             HANDLE stop_event = nullptr);

// Fills digest with the local file's digest unless it is filled already.
bool FillDigest(const WIN32_FIND_DATAW& local, char* digest, HANDLE stop_event);

// Chooses the kind of work for one item by the recorded state. local holds
// the full path in cFileName; server and entry may be absent. Null for a
// recorded state that is not a sync state.
std::unique_ptr<SyncDecision> Decide(const WIN32_FIND_DATAW& local, const ServerEntry& server, CSyncEngine* engine,
                                     const SyncEntry& entry);

}  // namespace Sync
