#include "client/shell/dialog_host.h"

#include <atomic>

namespace Helper {

namespace {
std::atomic<IDialogHost*> g_dialog_host{nullptr};
}

void SetDialogHost(IDialogHost* host)
{
    g_dialog_host.store(host);
}

IDialogHost* DialogHost()
{
    return g_dialog_host.load();
}

}  // namespace Helper
