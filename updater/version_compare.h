// Ordering of dotted version texts such as "1.0.0.12", as the updater
// decides whether an offered package is newer than the installed one.
#pragma once

#include <string_view>

namespace Updater {

// True when an update from installed to offered is due. A text with fewer
// full stops counts as older whatever its numbers; otherwise the parts are
// compared as decimal numbers from the left.
bool IsVersionOlder(std::u16string_view installed, std::u16string_view offered);

}  // namespace Updater
