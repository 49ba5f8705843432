// The texts of TavoTesselSync, the headless companion: its exit codes, the
// words for a refused sign-on, one line per thing a sync did, the progress
// of a transfer and the summary of a run. Plain rules without the
// platform, built and tested natively too.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "client/sync/sync_effect.h"

namespace Helper {

enum ConsoleExit : int {
    ExitDone = 0,
    ExitUsage = 1,
    ExitRefused = 2,
    ExitUnreachable = 3,
    ExitFolder = 4,
    ExitUnfinished = 5,
    ExitProblems = 6,
    ExitUnlisted = 7,
    ExitIncompatible = 8,
};

struct ExitCodeText {
    int code;
    const char16_t* meaning;
};
// Every exit code with its meaning, in order; the usage text lists them.
const std::vector<ExitCodeText>& ExitCodeTexts();

// How a sync run ended, and the exit code that tells it. A run is done
// only when every folder it needed was listed and nothing was left to do.
struct RunEnd {
    bool incompatible = false;  // the server speaks another protocol version
    bool listed = true;         // the last pass over the folder had all its listings
    bool quiet = false;         // nothing was left to do
    int conflicts = 0;
    int errors = 0;
};
int ExitCodeFor(const RunEnd& end);

// "wrong password for demo" and the like for the refusals 102 to 105 of a
// sign-on; empty for any other result.
std::u16string SignOnRefusal(int result, std::u16string_view user);

// "512 bytes" below 1 KiB, else the tray's "%.1f KB" to "%.1f GB".
std::u16string ReadableSize(uint64_t bytes);
// "20.0 MB in 0.6 s (33.3 MB/s)"; the rate from a tenth of a second on.
std::u16string TransferFigures(uint64_t bytes, uint32_t milliseconds);

// One line for a finished action; empty when there is nothing to tell.
// Paths are below the sync folder.
std::u16string ActionLine(Sync::SyncEffect effect, std::u16string_view key, std::u16string_view old_key,
                          uint64_t bytes);

// The transfer in progress, 72 characters at most.
std::u16string ProgressLine(bool upload, std::u16string_view key, uint64_t done, uint64_t total,
                            uint32_t bytes_per_second);

// What a run did, kind by kind, and the transfers' figures.
struct RunCounts {
    int effects[static_cast<int>(Sync::SyncEffect::Count)] = {};
    uint64_t up_bytes = 0;
    uint32_t up_ms = 0;
    uint64_t down_bytes = 0;
    uint32_t down_ms = 0;

    void Add(Sync::SyncEffect effect, uint64_t bytes, uint32_t milliseconds);
    int Count(Sync::SyncEffect effect) const { return effects[static_cast<int>(effect)]; }
};
// "done: 3 uploaded, 1 downloaded, ..., 0 in conflict, 0 in error", or
// "not done: ..." for a run that did not reach agreement.
std::u16string SummaryLine(const RunCounts& counts, int conflicts, int errors, bool done);
// "transfers: up 20.0 MB in 0.6 s (33.3 MB/s), down nothing".
std::u16string TransfersLine(const RunCounts& counts);

}  // namespace Helper
