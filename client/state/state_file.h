// The account's sync state file: an XML document with one element per
// known file or folder of the sync folder, rewritten whole after every
// change of the file state table and guarded by a digest in the registry.
#pragma once

#include <cstdint>
#include <string>

#include "client/state/sync_state_table.h"

namespace Sync {

// "%s\Tavo\Tessel\%s.user_cfg" below the roaming application-data folder;
// empty when that folder is unknown.
void StateFilePathFor(const wchar_t* user_name, wchar_t (&path)[kPathCapacity]);

// buffer, when given, is reused for the document from save to save.
bool WriteStateFile(const SyncNode* root, const wchar_t* path, std::string* buffer = nullptr);
// Appends the file's entries beneath root. Entries read before a fault in
// the document stay; false only when nothing could be read at all.
bool ReadStateFile(const wchar_t* path, SyncNode* root);
// MD5 of the file as 32 lower-case digits. It gives up once the
// application raised its shutdown flag, so a save made after that point
// leaves the stored digest as it was.
bool StateFileDigest(const wchar_t* path, char (&digest)[33]);

}  // namespace Sync
