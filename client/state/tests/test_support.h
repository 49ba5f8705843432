// Records and folders for the state layer's tests.
#pragma once

#include <string>

#include "common/sync_entry.h"
#include "common/tests/test_support.h"

namespace StateTest {

using Testing::CTempFolder;
using Testing::ReadFileBytes;
using Testing::WriteFileBytes;

Sync::SyncEntry MakeFile(int id, const char* md5 = "0123456789abcdef0123456789abcdef");
Sync::SyncEntry MakeFolder(int id);

}  // namespace StateTest
