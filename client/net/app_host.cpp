#include "client/net/app_host.h"

#include <atomic>

namespace Helper {

namespace {

std::atomic<IAppHost*> g_host{nullptr};

}  // namespace

void SetAppHost(IAppHost* host) { g_host.store(host); }

IAppHost* AppHost() { return g_host.load(); }

bool AppAborting()
{
    const IAppHost* host = AppHost();
    return host != nullptr && host->IsAborting();
}

}  // namespace Helper
