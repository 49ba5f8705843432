// The operator's commands for the web pages: registration on or off and
// the quota of new accounts, password resets, and the feedback messages.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace Tessel {

bool IsWebCommand(const std::string& command);
// Runs one of them; returns the process exit code.
int RunWebCommand(const std::string& command, const std::vector<std::string>& positional,
                  const std::map<std::string, std::string>& options);

}  // namespace Tessel
