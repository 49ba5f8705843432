// One line per event on stderr; stdout stays free for the caller.
#pragma once

#include <string>

namespace Tessel {

void LogLine(const std::string& text);
void SetLogEnabled(bool enabled);

}  // namespace Tessel
