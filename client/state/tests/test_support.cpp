#include "test_support.h"

#include <cstring>

namespace StateTest {

Sync::SyncEntry MakeFile(int id, const char* md5)
{
    Sync::SyncEntry e;
    e.id = id;
    e.is_file = 1;
    e.size = 1000 + id;
    e.local_modified = 133000000000000000ull + id;
    e.update_time = 50 + id;
    std::memcpy(e.md5, md5, Sync::kDigestLength);
    return e;
}

Sync::SyncEntry MakeFolder(int id)
{
    Sync::SyncEntry e;
    e.id = id;
    e.update_time = 70 + id;
    return e;
}

}  // namespace StateTest
