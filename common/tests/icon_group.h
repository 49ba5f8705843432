// The layout of an icon group resource (RT_GROUP_ICON), for the tests that
// read the icons of a built program or library back.
#pragma once

#include <windows.h>

namespace TavoTest {

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE colours;
    BYTE reserved;
    WORD planes;
    WORD bit_count;
    DWORD bytes;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved;
    WORD type;
    WORD count;
    GroupIconEntry entries[1];
};
#pragma pack(pop)

}  // namespace TavoTest
