// The update manifest: an XML document with one "client" element per
// platform ("os" is "win32" or "win64"). The texts inside the matching
// element are, in document order: the offered version, the package file
// name, one or more download URLs and, last, the package's MD5 checksum.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Updater {

// Longest text kept from the manifest, in UTF-16 units (a 256-unit buffer
// with its terminator); longer texts are cut.
constexpr size_t kManifestTextLimit = 255;
constexpr size_t kManifestMinTexts = 4;
constexpr size_t kPackageNameLimit = 256;

// Collects the texts of the first "client" element whose "os" equals
// platform. False (and texts empty) when a "client" has no "os", no element
// matches, the document is malformed before the matching element ends, or
// the texts fail validation.
bool ParseUpdateManifest(std::string_view document, std::u16string_view platform,
                         std::vector<std::u16string>* texts);

// The rules the collected texts must meet: a version of digits and full
// stops, a package name that stays a plain file name in the download
// folder, and an ASCII checksum. Needs at least kManifestMinTexts texts.
bool ValidateManifestTexts(const std::vector<std::u16string>& texts);

bool IsValidPackageFileName(std::u16string_view name);

}  // namespace Updater
