#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

#include <functional>

#include "client/state/state_file.h"
#include "client/state/sync_state_table.h"
#include "test_support.h"

using Sync::SyncEntry;
using Sync::SyncNode;
using namespace StateTest;

namespace {

const char kHeader[] = "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";
const char kMd5[] = "0123456789abcdef0123456789abcdef";

std::string FileElement(const std::string& name, const std::string& extra = "",
                        const std::string& md5 = kMd5, const std::string& tag = "FILE")
{
    return "<" + tag + " id=\"7\" name=\"" + name + "\" state=\"0\" update_time=\"3\" size=\"12\" md5=\"" +
           md5 + "\" local_modified=\"99\"" + extra + " />";
}

class StateFile : public ::testing::Test {
protected:
    // Reads a document given as the body of ROOT; returns the paths loaded.
    std::vector<std::wstring> Load(const std::string& body)
    {
        std::wstring path = dir_ / L"doc.user_cfg";
        WriteFileBytes(path, std::string(kHeader) + "<ROOT>" + body + "</ROOT>");
        root_ = SyncNode();
        EXPECT_TRUE(Sync::ReadStateFile(path.c_str(), &root_));
        std::vector<std::wstring> paths;
        std::function<void(const SyncNode&)> walk = [&](const SyncNode& n) {
            for (const auto& c : n.children) {
                paths.push_back(c->entry.path);
                walk(*c);
            }
        };
        walk(root_);
        return paths;
    }

    const SyncEntry& First() const { return root_.children.at(0)->entry; }

    CTempFolder dir_;
    SyncNode root_;
};

}  // namespace

TEST_F(StateFile, EmptyTableWritesAnEmptyRoot)
{
    std::wstring path = dir_ / L"sub\\deeper\\empty.user_cfg";
    SyncNode root;
    ASSERT_TRUE(Sync::WriteStateFile(&root, path.c_str()));
    std::string bytes = ReadFileBytes(path);
    EXPECT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_NE(bytes.find("<ROOT />"), std::string::npos);
    SyncNode back;
    ASSERT_TRUE(Sync::ReadStateFile(path.c_str(), &back));
    EXPECT_TRUE(back.children.empty());
    EXPECT_FALSE(Sync::WriteStateFile(nullptr, path.c_str()));
}

TEST_F(StateFile, DigestRulesOfFileElements)
{
    EXPECT_EQ(Load(FileElement("short", "", std::string(kMd5).substr(0, 31))).size(), 1u);
    EXPECT_EQ(std::string(First().md5, 32), std::string(32, '\0'));
    EXPECT_EQ(Load(FileElement("upper", "", "0123456789ABCDEF0123456789abcdef")).size(), 1u);
    EXPECT_TRUE(Load(FileElement("bad", "", "g123456789abcdef0123456789abcdef")).empty());
}

TEST_F(StateFile, UploadGroupReadsInOrderAndStopsQuietly)
{
    EXPECT_TRUE(Load(FileElement("t20", " u_t=\"abcdefghijabcdefghij\"")).empty());

    ASSERT_EQ(Load(FileElement("t32", " u_t=\"abcdefghijabcdefghijabcdefghij12\"")).size(), 1u);
    EXPECT_EQ(std::string(First().upload_token, 32), "abcdefghijabcdefghijabcdefghij12");
    EXPECT_EQ(First().upload_port, 0);
    EXPECT_EQ(First().upload_address, 0u);
    EXPECT_EQ(First().upload_offset, 0u);

    ASSERT_EQ(Load(FileElement("all", " u_t=\"abcdefghijabcdefghijabcdefghij12\" u_p=\"-25536\" "
                                      "u_a=\"-1062731510\" u_o=\"1048576\""))
                  .size(),
              1u);
    EXPECT_EQ(First().upload_port, 40000);
    EXPECT_EQ(First().upload_address, 0xC0A8010Au);
    EXPECT_EQ(First().upload_offset, 1048576u);

    // A port value longer than its maximum ends the group there.
    ASSERT_EQ(Load(FileElement("long", " u_t=\"abcdefghijabcdefghijabcdefghij12\" u_p=\"123456789\" "
                                       "u_a=\"5\""))
                  .size(),
              1u);
    EXPECT_EQ(First().upload_address, 0u);
}

TEST_F(StateFile, FailedFoldersDropTheirContentEmptyOnesOnlyThemselves)
{
    std::string bad_dir = "<DIR id=\"1\" name=\"bad\" state=\"7\" update_time=\"1\">" + FileElement("in") +
                          "<DIR id=\"2\" name=\"nested\" state=\"0\" update_time=\"1\">" +
                          FileElement("deep") + "</DIR></DIR>";
    EXPECT_EQ(Load(bad_dir + FileElement("after")), (std::vector<std::wstring>{L"after"}));

    std::string empty_bad = "<DIR id=\"1\" name=\"bad\" state=\"7\" update_time=\"1\" />";
    EXPECT_EQ(Load(empty_bad + FileElement("after")), (std::vector<std::wstring>{L"after"}));

    std::string good = "<DIR id=\"1\" name=\"d\" state=\"0\" update_time=\"1\">" + FileElement("f") +
                       "</DIR>";
    EXPECT_EQ(Load(good), (std::vector<std::wstring>{L"d", L"d\\f"}));
    EXPECT_EQ(root_.children[0]->children[0]->entry.parent_id, 1);
}

TEST_F(StateFile, ElementNamesDecideFileOrFolderWithCase)
{
    EXPECT_EQ(Load(FileElement("lower", "", kMd5, "file")), (std::vector<std::wstring>{L"lower"}));
    EXPECT_EQ(First().is_file, 1u);
    std::string lower_dir = "<dir id=\"1\" name=\"d\" state=\"0\" update_time=\"1\">" + FileElement("f") +
                            "</dir>";
    EXPECT_EQ(Load(lower_dir), (std::vector<std::wstring>{L"f"}));
}

TEST_F(StateFile, MalformedDocumentsKeepWhatCameBeforeTheFault)
{
    std::wstring path = dir_ / L"broken.user_cfg";
    WriteFileBytes(path, std::string(kHeader) + "<ROOT>" + FileElement("one") + FileElement("two") +
                             "<FILE id=\"3\" name=\"&bogus;\"");
    SyncNode root;
    ASSERT_TRUE(Sync::ReadStateFile(path.c_str(), &root));
    EXPECT_EQ(root.children.size(), 2u);
    EXPECT_FALSE(Sync::ReadStateFile((dir_ / L"missing").c_str(), &root));
}

TEST_F(StateFile, ThousandsOfEntriesWithAwkwardNamesRoundTrip)
{
    const wchar_t* const names[] = {L"a&b", L"it's", L"say \"hi\"", L"<tag>", L"中文文件",
                                    L"Ünïcødé", L"emoji😀", L"plain.txt"};
    SyncNode root;
    int id = 1;
    for (int d = 0; d < 60; ++d) {
        auto folder = std::make_unique<SyncNode>();
        folder->entry = MakeFolder(id++);
        folder->entry.name = std::wstring(names[d % 8]) + L" dir " + std::to_wstring(d);
        SyncNode* f = Sync::AttachChild(&root, std::move(folder));
        for (int i = 0; i < 50; ++i) {
            auto file = std::make_unique<SyncNode>();
            file->entry = MakeFile(id++);
            file->entry.name = std::wstring(names[i % 8]) + L" " + std::to_wstring(i);
            file->entry.state = i % 5;
            if (i % 7 == 0) {
                file->entry.upload_address = 0x0A000001u + i;
                file->entry.upload_port = static_cast<uint16_t>(30000 + i * 100);
                file->entry.upload_offset = 123456789012ull + i;
                std::memcpy(file->entry.upload_token, "0123456789ABCDEFGHIJKLMNOPQRSTUV", 32);
            }
            Sync::AttachChild(f, std::move(file));
        }
    }
    std::wstring path = dir_ / L"big.user_cfg";
    ASSERT_TRUE(Sync::WriteStateFile(&root, path.c_str()));
    SyncNode back;
    ASSERT_TRUE(Sync::ReadStateFile(path.c_str(), &back));

    std::function<void(const SyncNode&, const SyncNode&)> same = [&](const SyncNode& a,
                                                                      const SyncNode& b) {
        ASSERT_EQ(a.children.size(), b.children.size());
        for (size_t i = 0; i < a.children.size(); ++i) {
            const SyncEntry& x = a.children[i]->entry;
            const SyncEntry& y = b.children[i]->entry;
            ASSERT_EQ(x.name, y.name);
            ASSERT_STREQ(x.path, y.path);
            ASSERT_EQ(x.id, y.id);
            ASSERT_EQ(x.parent_id, y.parent_id);
            ASSERT_EQ(x.state, y.state);
            ASSERT_EQ(x.update_time, y.update_time);
            ASSERT_EQ(x.size, y.size);
            ASSERT_EQ(x.local_modified, y.local_modified);
            ASSERT_EQ(0, std::memcmp(x.md5, y.md5, 32));
            ASSERT_EQ(x.upload_address, y.upload_address);
            ASSERT_EQ(x.upload_port, y.upload_port);
            ASSERT_EQ(x.upload_offset, y.upload_offset);
            ASSERT_EQ(0, std::memcmp(x.upload_token, y.upload_token, 32));
            same(*a.children[i], *b.children[i]);
        }
    };
    same(root, back);
    EXPECT_NE(ReadFileBytes(path).find("u_p=\"-32736\""), std::string::npos);
}

TEST_F(StateFile, FilesWithoutDigestSurviveARewrite)
{
    ASSERT_EQ(Load(FileElement("nodigest", "", "")).size(), 1u);
    std::wstring path = dir_ / L"rewrite.user_cfg";
    ASSERT_TRUE(Sync::WriteStateFile(&root_, path.c_str()));
    SyncNode back;
    ASSERT_TRUE(Sync::ReadStateFile(path.c_str(), &back));
    EXPECT_EQ(back.children.size(), 1u);
}

namespace {

void AddFile(SyncNode* parent, int id, const std::wstring& name)
{
    auto file = std::make_unique<SyncNode>();
    file->entry = MakeFile(id);
    file->entry.name = name;
    Sync::AttachChild(parent, std::move(file));
}

}  // namespace

// Values XML cannot carry (a lone surrogate in a name, control bytes in an
// upload token) come back exactly, and nothing of the record or of what a
// folder holds is lost with them.
TEST_F(StateFile, ValuesXmlCannotCarryComeBackExactly)
{
    SyncNode root;
    auto folder = std::make_unique<SyncNode>();
    folder->entry = MakeFolder(1);
    folder->entry.name = std::wstring(L"odd") + wchar_t(0xD800) + L"folder";
    SyncNode* odd = Sync::AttachChild(&root, std::move(folder));
    auto file = std::make_unique<SyncNode>();
    file->entry = MakeFile(2);
    file->entry.name = L"inside.txt";
    file->entry.upload_address = 0x7F000002u;
    file->entry.upload_port = 7700;
    file->entry.upload_offset = 3u << 20;
    for (int i = 0; i < 32; ++i)
        file->entry.upload_token[i] = static_cast<char>(i % 2 ? i : 0x41 + i);
    Sync::AttachChild(odd, std::move(file));
    AddFile(&root, 3, std::wstring(L"tail") + wchar_t(0xDC01));

    std::wstring path = dir_ / L"odd.user_cfg";
    ASSERT_TRUE(Sync::WriteStateFile(&root, path.c_str()));
    SyncNode back;
    ASSERT_TRUE(Sync::ReadStateFile(path.c_str(), &back));
    ASSERT_EQ(back.children.size(), 2u);
    EXPECT_EQ(back.children[0]->entry.name, root.children[0]->entry.name);
    ASSERT_EQ(back.children[0]->children.size(), 1u);
    const SyncEntry& inside = back.children[0]->children[0]->entry;
    EXPECT_EQ(0, std::memcmp(inside.upload_token, odd->children[0]->entry.upload_token, 32));
    EXPECT_EQ(inside.upload_address, 0x7F000002u);
    EXPECT_EQ(inside.upload_port, 7700);
    EXPECT_EQ(inside.upload_offset, 3u << 20);
    EXPECT_EQ(back.children[1]->entry.name, root.children[1]->entry.name);
}

// Files written before such values were kept, and readers that know only
// the plain attributes, read what they always did.
TEST_F(StateFile, PlainAttributesStayReadable)
{
    ASSERT_EQ(Load(FileElement("plain", " u_t=\"abcdefghijabcdefghijabcdefghij12\" u_p=\"1\" u_a=\"2\" u_o=\"3\""))
                  .size(),
              1u);
    EXPECT_EQ(First().name, L"plain");
    EXPECT_EQ(First().upload_offset, 3u);
    // An exact form that does not decode leaves the plain value in charge.
    ASSERT_EQ(Load(FileElement("plain", " name_x=\"006\"")).size(), 1u);
    EXPECT_EQ(First().name, L"plain");
    ASSERT_EQ(Load(FileElement("plain", " name_x=\"00g1\"")).size(), 1u);
    EXPECT_EQ(First().name, L"plain");
    ASSERT_EQ(Load(FileElement("plain", " name_x=\"0061\"")).size(), 1u);
    EXPECT_EQ(First().name, L"a");

    SyncNode root;
    AddFile(&root, 3, std::wstring(L"a") + wchar_t(0xD800));
    std::wstring path = dir_ / L"plain.user_cfg";
    ASSERT_TRUE(Sync::WriteStateFile(&root, path.c_str()));
    // The plain name stands in with a replacement character.
    EXPECT_NE(ReadFileBytes(path).find("name=\"a\xEF\xBF\xBD\""), std::string::npos);
}
