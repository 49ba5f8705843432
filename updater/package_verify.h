// Proof of a downloaded package against the manifest's MD5 checksum.
#pragma once

#include "common/hex.h"

namespace Updater {

// MD5 of the file as 32 lower-case hexadecimal digits, read in chunks of
// 32768 bytes. False (and hex empty) when the file cannot be opened or the
// platform's MD5 is not bound.
bool ComputeFileMd5Hex(const wchar_t* path, wchar_t (&hex)[Helper::kMd5HexLength + 1]);

// True when the file exists and its MD5 equals expected exactly (letter
// case counts). A file whose MD5 cannot be computed never passes.
bool VerifyPackage(const wchar_t* path, const wchar_t* expected);

}  // namespace Updater
