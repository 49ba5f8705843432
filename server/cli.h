// The command line of tessel-server: init, add-account, set-account, tree,
// serve, and the web pages' registration, reset-password and feedback.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Tessel {

// "1024", "64K", "10M", "1G", "2T" (binary units; an optional "B" or "iB").
std::optional<uint64_t> ParseSize(const std::string& text);

// Runs one command; returns the process exit code. Messages go to stderr.
int RunCommandLine(const std::vector<std::string>& args);

}  // namespace Tessel
