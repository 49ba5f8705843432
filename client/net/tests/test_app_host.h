// An application for the tests of the layers below the shell: a state
// value with a record of the refreshes reported. The engine's move goes to
// any other state. The move to Offline is refused unless a test asks for
// it: the connections of one test process share one link watcher, and one
// left over from an earlier test must not disturb the next. Registered for
// the life of the object.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "client/net/app_host.h"

namespace NetTest {

class CTestAppHost : public Helper::IAppHost {
public:
    explicit CTestAppHost(Helper::AppState state = Helper::AppState::Starting) : state_(state)
    {
        Helper::SetAppHost(this);
    }
    ~CTestAppHost() override { Helper::SetAppHost(nullptr); }
    CTestAppHost(const CTestAppHost&) = delete;
    CTestAppHost& operator=(const CTestAppHost&) = delete;

    void SetState(Helper::AppState state) { state_.store(state); }
    void SetAborting(bool aborting) { aborting_.store(aborting); }
    void AllowOffline() { offline_allowed_.store(true); }
    // The states replaced, in the order the refreshes reported them.
    std::vector<Helper::AppState> Refreshed()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return refreshed_;
    }

    Helper::AppState GetState() const override { return state_.load(); }
    bool TrySetState(Helper::AppState target) override
    {
        return state_.exchange(target) != target;
    }
    bool TrySetOffline(Helper::AppState* previous) override
    {
        if (!offline_allowed_.load())
            return false;
        *previous = state_.exchange(Helper::AppState::Offline);
        return *previous != Helper::AppState::Offline;
    }
    bool TrySetCredentialsRejected(Helper::AppState* previous) override
    {
        *previous = state_.exchange(Helper::AppState::CredentialsRejected);
        return *previous != Helper::AppState::CredentialsRejected;
    }
    void RefreshForState(Helper::AppState previous) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        refreshed_.push_back(previous);
    }
    bool IsAborting() const override { return aborting_.load(); }

private:
    std::atomic<Helper::AppState> state_;
    std::atomic<bool> aborting_{false};
    std::atomic<bool> offline_allowed_{false};
    std::mutex lock_;
    std::vector<Helper::AppState> refreshed_;
};

}  // namespace NetTest
