#include <gtest/gtest.h>

#include <string>

#include "common/tests/icon_group.h"
#include "common/win_handle.h"
#include "glint_test_support.h"
#include "version.h"

#include <shellapi.h>

using namespace GlintTest;

namespace {

using TavoTest::GroupIconEntry;
using TavoTest::GroupIconHeader;

const void* Resource(LPCWSTR type, LPCWSTR name, DWORD* size)
{
    HRSRC found = FindResourceW(Dll().module, name, type);
    if (!found)
        return nullptr;
    *size = SizeofResource(Dll().module, found);
    return LockResource(LoadResource(Dll().module, found));
}

BYTE AlphaAt(const BITMAPINFOHEADER* header, int x, int y_from_top)
{
    int size = header->biWidth;
    const BYTE* bits = reinterpret_cast<const BYTE*>(header) + header->biSize;
    int row = size - 1 - y_from_top;  // bottom-up rows
    return bits[(row * size + x) * 4 + 3];
}

TEST(GlintResources, FiveIconGroupsWithFourAlphaImagesEach)
{
    const int sizes[] = {48, 32, 24, 16};
    for (unsigned kind = 0; kind < kOverlayCount; ++kind) {
        SCOPED_TRACE(kind);
        DWORD group_size = 0;
        auto group = static_cast<const GroupIconHeader*>(
            Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(103 + kind), &group_size));
        ASSERT_NE(group, nullptr);
        ASSERT_EQ(group->count, 4);
        for (int i = 0; i < 4; ++i) {
            const GroupIconEntry& entry = group->entries[i];
            int size = sizes[i];
            EXPECT_EQ(entry.width, size);
            EXPECT_EQ(entry.bit_count, 32);
            DWORD image_size = 0;
            auto header = static_cast<const BITMAPINFOHEADER*>(
                Resource(RT_ICON, MAKEINTRESOURCEW(entry.id), &image_size));
            ASSERT_NE(header, nullptr);
            ASSERT_EQ(header->biWidth, size);
            ASSERT_EQ(header->biHeight, size * 2);
            ASSERT_EQ(header->biBitCount, 32);
            ASSERT_GE(image_size, header->biSize + static_cast<DWORD>(size * size * 4));
            // The badge fills the lower-left quarter; nothing else shows.
            int edge = size / 2 + 1;
            int opaque = 0;
            for (int y = 0; y < size; ++y) {
                for (int x = 0; x < size; ++x) {
                    BYTE alpha = AlphaAt(header, x, y);
                    bool in_badge = x < edge && y >= size - edge;
                    if (!in_badge) {
                        ASSERT_EQ(alpha, 0) << size << "px at " << x << "," << y;
                    }
                    opaque += alpha == 255;
                }
            }
            EXPECT_GT(opaque, edge * edge / 5);
            EXPECT_EQ(AlphaAt(header, 0, size - edge), 0);  // the badge's corner is outside its disc
            EXPECT_EQ(AlphaAt(header, edge / 2, size - edge / 2 - 1), 255);  // its centre is solid
        }
    }
}

TEST(GlintResources, IconPositionIsTheOverlayIndex)
{
    EXPECT_EQ(ExtractIconExW(Dll().path.c_str(), -1, nullptr, nullptr, 0), kOverlayCount);
    for (unsigned kind = 0; kind < kOverlayCount; ++kind) {
        Helper::CIconHandle icon;
        ASSERT_EQ(ExtractIconExW(Dll().path.c_str(), static_cast<int>(kind), icon.Receive(), nullptr, 1), 1u);
        ASSERT_TRUE(icon);
    }
}

TEST(GlintResources, RegistrationScriptIsResource102)
{
    DWORD size = 0;
    auto script = static_cast<const char*>(Resource(L"REGISTRY", MAKEINTRESOURCEW(102), &size));
    ASSERT_NE(script, nullptr);
    std::string text(script, size);
    EXPECT_NE(text.find("%MODULE%"), std::string::npos);
    EXPECT_NE(text.find("'.Tavo_Tessel_Conflict'"), std::string::npos);
}

TEST(GlintResources, VersionResource)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(Dll().path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::string data(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(Dll().path.c_str(), 0, size, &data[0]));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(&data[0], L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, DWORD{TAVO_VERSION_MAJOR} << 16 | TAVO_VERSION_MINOR);
    EXPECT_EQ(fixed->dwFileVersionLS, DWORD{TAVO_VERSION_PATCH} << 16 | TAVO_BUILD_NUMBER);
    EXPECT_EQ(fixed->dwProductVersionMS, DWORD{TAVO_VERSION_MAJOR} << 16 | TAVO_VERSION_MINOR);
    EXPECT_EQ(fixed->dwProductVersionLS, DWORD{TAVO_VERSION_PATCH} << 16 | TAVO_VERSION_TWEAK);

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(&data[0], L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                               &length));
    EXPECT_EQ(translation[0], 0x0804);
    EXPECT_EQ(translation[1], 1200);

    const std::pair<const wchar_t*, const wchar_t*> strings[] = {
        {L"FileDescription", L"Glint"}, {L"InternalName", L"Glint"}, {L"ProductName", L"Glint"},
        {L"OriginalFilename", L"Glint.dll"}};
    for (const auto& [name, expected] : strings) {
        std::wstring query = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
        wchar_t* value = nullptr;
        ASSERT_TRUE(VerQueryValueW(&data[0], query.c_str(), reinterpret_cast<void**>(&value), &length)) << query.c_str();
        EXPECT_STREQ(value, expected);
    }
}

}  // namespace
