// The actions that only write a decision's outcome into the state table:
// agreement, an item that does not fit the account, and a conflict.
#pragma once

#include "client/sync/sync_action.h"

namespace Sync {

class CSyncVersionInfo : public ISyncAction {
public:
    explicit CSyncVersionInfo(SyncDecision&& decision) : ISyncAction(std::move(decision), KindVersionInfo) {}
    bool Execute(CSyncEngine* engine) override;
};

class CSyncError : public ISyncAction {
public:
    explicit CSyncError(SyncDecision&& decision) : ISyncAction(std::move(decision), KindError) {}
    bool Execute(CSyncEngine* engine) override;
};

class CSyncConflict : public ISyncAction {
public:
    explicit CSyncConflict(SyncDecision&& decision) : ISyncAction(std::move(decision), KindConflict) {}
    bool Execute(CSyncEngine* engine) override;
};

}  // namespace Sync
