#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/file_sync_state.h"
#include "overlay/state_tree.h"

using Glint::CStateTree;
using Glint::LoadStateTree;

namespace {

std::string Document(const std::string& body)
{
    return "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<ROOT>" + body + "</ROOT>";
}

std::string File(const std::string& name, int state)
{
    return "<FILE id=\"7\" name=\"" + name + "\" state=\"" + std::to_string(state) +
           "\" update_time=\"1\" size=\"3\" md5=\"\" local_modified=\"0\"/>";
}

std::string Dir(const std::string& name, int state, const std::string& content = "")
{
    std::string head = "<DIR id=\"3\" name=\"" + name + "\" state=\"" + std::to_string(state) + "\" update_time=\"1\"";
    return content.empty() ? head + "/>" : head + ">" + content + "</DIR>";
}

// The state a lookup gives for a path below the folder "c:\sync".
int StateOf(const CStateTree& tree, const std::u16string& below)
{
    std::u16string path = u"c:\\sync" + below;
    return Glint::LookupState(tree, path.c_str(), 7);
}

struct Loaded {
    explicit Loaded(const std::string& body) { LoadStateTree(Document(body), &tree); }
    int operator()(const std::u16string& below) const { return StateOf(tree, below); }
    CStateTree tree;
};

TEST(StateTreeLoad, NamesAreLowerCasedAndFoundComponentByComponent)
{
    Loaded state(Dir("Docs", 0, File("Report.TXT", 2) + Dir("Sub", 0, File("x", 0))));
    EXPECT_EQ(state(u"\\docs\\report.txt"), Helper::Syncing);
    EXPECT_EQ(state(u"\\docs\\sub\\x"), Helper::Synced);
    EXPECT_EQ(state(u"\\docs\\sub\\"), Helper::Synced);  // trailing backslash: the folder itself
    EXPECT_EQ(state(u"\\docs\\\\sub"), Helper::NotSynced);  // an empty component is never found
    EXPECT_EQ(state(u"\\docs\\missing"), Helper::NotSynced);
    EXPECT_EQ(state(u"\\report.txt"), Helper::NotSynced);
    EXPECT_EQ(state(u""), Helper::Syncing);  // the root carries what lies beneath
    EXPECT_EQ(state(u"\\"), Helper::Syncing);
}

TEST(StateTreeLoad, ConflictAndSyncingTravelUpButErrorAndUntrackedDoNot)
{
    Loaded both(Dir("d", 0, File("a", 4) + File("b", 3)));
    EXPECT_EQ(both(u"\\d"), Helper::Conflict);
    EXPECT_EQ(both(u""), Helper::Conflict);

    Loaded error_only(Dir("d", 0, File("b", 3) + File("c", 5)));
    EXPECT_EQ(error_only(u"\\d"), Helper::Synced);
    EXPECT_EQ(error_only(u"\\d\\b"), Helper::Error);
    EXPECT_EQ(error_only(u"\\d\\c"), Helper::Untracked);
    EXPECT_EQ(error_only(u""), Helper::Synced);

    // A failed folder that holds a conflict shows and passes on the conflict.
    Loaded deep(Dir("d", 3, Dir("e", 1, File("f", 4))) + File("g", 2));
    EXPECT_EQ(deep(u"\\d"), Helper::Conflict);
    EXPECT_EQ(deep(u"\\d\\e"), Helper::Conflict);
    EXPECT_EQ(deep(u""), Helper::Conflict);

    // An error folder keeps its own state and does not colour the root.
    Loaded error_dir(Dir("d", 3, File("f", 0)));
    EXPECT_EQ(error_dir(u"\\d"), Helper::Error);
    EXPECT_EQ(error_dir(u""), Helper::Synced);
}

TEST(StateTreeLoad, OutOfRangeOrMalformedStatesMakeNoNode)
{
    for (const char* bad : {"6", "-1", "10", "", "x", "1 ", "+1"}) {
        std::string body = "<FILE id=\"1\" name=\"a\" state=\"" + std::string(bad) + "\"/>";
        Loaded state(body);
        EXPECT_EQ(state.tree.NodeCount(), 1u) << "state=\"" << bad << "\"";
    }
    Loaded padded("<FILE id=\"1\" name=\"a\" state=\"05\"/>");
    EXPECT_EQ(padded(u"\\a"), Helper::Untracked);
}

TEST(StateTreeLoad, AttributeCountAndLengthLimits)
{
    std::string name260(260, 'n');
    std::string name261(261, 'n');
    Loaded fits("<FILE id=\"1234567890123456\" name=\"" + name260 + "\" state=\"2\"/>");
    EXPECT_EQ(fits(u"\\" + std::u16string(260, u'n')), Helper::Syncing);

    Loaded long_name("<FILE id=\"1\" name=\"" + name261 + "\" state=\"2\"/>");
    EXPECT_EQ(long_name.tree.NodeCount(), 1u);
    Loaded long_id("<FILE id=\"12345678901234567\" name=\"a\" state=\"2\"/>");
    EXPECT_EQ(long_id.tree.NodeCount(), 1u);
    Loaded two_attributes("<FILE name=\"a\" state=\"2\"/>");
    EXPECT_EQ(two_attributes.tree.NodeCount(), 1u);
    Loaded no_id("<FILE other=\"1\" name=\"a\" state=\"2\"/>");
    EXPECT_EQ(no_id.tree.NodeCount(), 1u);
    Loaded escaped("<FILE id=\"1\" name=\"a&amp;b&lt;\" state=\"4\"/>");
    EXPECT_EQ(escaped(u"\\a&b<"), Helper::Conflict);
}

TEST(StateTreeLoad, RejectedFolderHidesItsWholeContent)
{
    Loaded state(Dir("bad", 7, Dir("inner", 0, File("x", 0)) + File("y", 2)) + File("after", 4));
    EXPECT_EQ(state.tree.NodeCount(), 2u);
    EXPECT_EQ(state(u"\\bad\\y"), Helper::NotSynced);
    EXPECT_EQ(state(u"\\after"), Helper::Conflict);
    EXPECT_EQ(state(u"\\y"), Helper::NotSynced);

    // An empty folder element that is rejected drops only itself.
    Loaded empty_bad(Dir("bad", 7) + File("z", 2));
    EXPECT_EQ(empty_bad(u"\\z"), Helper::Syncing);
}

TEST(StateTreeLoad, EmptyFolderElementIsALeaf)
{
    Loaded state(Dir("empty", 2) + File("next", 0));
    EXPECT_EQ(state(u"\\empty"), Helper::Syncing);
    EXPECT_EQ(state(u"\\next"), Helper::Synced);
    EXPECT_EQ(state(u"\\empty\\next"), Helper::NotSynced);
}

TEST(StateTreeLoad, OnlyUpperCaseDirOpensALevel)
{
    // "dir" is a node but not a level: what it encloses lands beside it.
    Loaded state("<dir id=\"1\" name=\"d\" state=\"0\">" + File("inner", 2) + "</dir>");
    EXPECT_EQ(state(u"\\d"), Helper::Synced);
    EXPECT_EQ(state(u"\\inner"), Helper::Syncing);
    EXPECT_EQ(state(u"\\d\\inner"), Helper::NotSynced);
}

TEST(StateTreeLoad, FirstOfTwoEqualNamesWins)
{
    Loaded state(File("Same", 2) + File("same", 4));
    EXPECT_EQ(state(u"\\same"), Helper::Syncing);
}

TEST(StateTreeLoad, MalformedDocumentKeepsWhatCameBefore)
{
    std::string doc = Document(Dir("d", 0, File("a", 0) + File("b", 2)) + File("c", 4));
    std::string cut = doc.substr(0, doc.find("name=\"b\"") - 10);
    CStateTree tree;
    LoadStateTree(cut, &tree);
    EXPECT_EQ(StateOf(tree, u"\\d\\a"), Helper::Synced);
    EXPECT_EQ(StateOf(tree, u"\\d\\b"), Helper::NotSynced);
    EXPECT_EQ(StateOf(tree, u"\\c"), Helper::NotSynced);

    // An open folder still passes up what was read inside it.
    std::string open = Document(Dir("d", 0, File("a", 4) + "<FILE id=\"1\" name=\"broken"));
    CStateTree partial;
    LoadStateTree(open, &partial);
    EXPECT_EQ(StateOf(partial, u""), Helper::Conflict);

    // Two folders open, one inside the other: each passes its state on.
    std::string nested = Document(Dir("d", 0, Dir("e", 0, File("a", 2) + "<FILE id=\"1\" name=\"broken")));
    CStateTree cut_deeper;
    LoadStateTree(nested, &cut_deeper);
    EXPECT_EQ(StateOf(cut_deeper, u"\\d\\e"), Helper::Syncing);
    EXPECT_EQ(StateOf(cut_deeper, u"\\d"), Helper::Syncing);
    EXPECT_EQ(StateOf(cut_deeper, u""), Helper::Syncing);

    for (const char* junk : {"", "garbage", "\xEF\xBB\xBF", "<ROOT", "<!DOCTYPE x []><ROOT/>"}) {
        CStateTree empty;
        LoadStateTree(junk, &empty);
        EXPECT_EQ(empty.NodeCount(), 1u);
        EXPECT_EQ(empty.Root().state, Helper::Synced);
    }
}

TEST(StateTreeLoad, DeepNestingNeitherRecursesNorLeaks)
{
    std::string body;
    const int depth = 1000;
    for (int i = 0; i < depth; ++i)
        body += "<DIR id=\"1\" name=\"d\" state=\"0\" update_time=\"0\">";
    body += File("leaf", 2);
    for (int i = 0; i < depth; ++i)
        body += "</DIR>";
    Loaded state(body);
    EXPECT_EQ(state.tree.NodeCount(), depth + 2u);
    std::u16string path;
    for (int i = 0; i < depth; ++i)
        path += u"\\d";
    EXPECT_EQ(state(path + u"\\leaf"), Helper::Syncing);
    EXPECT_EQ(state(u""), Helper::Syncing);
}

// Damaged documents (as a half-written or corrupted file gives them) must
// never crash the reader; every node made must carry a valid state and a
// parent that knows it.
TEST(StateTreeLoad, DamagedDocumentsAreSafe)
{
    std::string valid = Document(Dir("a", 0, File("b", 4) + Dir("c", 3, File("d", 2)) + Dir("e", 1)) + File("f", 5));
    std::mt19937 random(12345);
    const char alphabet[] = "<>/=\"' DIRFILEstate\xC3\xA9&;#x0\xEF";
    for (int round = 0; round < 3000; ++round) {
        std::string doc = valid;
        int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            size_t at = random() % doc.size();
            switch (random() % 3) {
            case 0: doc[at] = alphabet[random() % (sizeof(alphabet) - 1)]; break;
            case 1: doc.erase(at, 1 + random() % 8); break;
            default: doc.insert(at, doc.substr(random() % doc.size(), random() % 40)); break;
            }
            if (doc.empty())
                doc = "<";
        }
        doc.resize(random() % (doc.size() + 1));
        CStateTree tree;
        LoadStateTree(doc, &tree);
        std::vector<const Glint::CStateNode*> pending{&tree.Root()};
        size_t seen = 0;
        while (!pending.empty()) {
            const Glint::CStateNode* node = pending.back();
            pending.pop_back();
            ++seen;
            ASSERT_TRUE(Helper::IsValidFileSyncState(node->state));
            for (const Glint::CStateNode* child : node->children) {
                ASSERT_EQ(child->parent, node);
                pending.push_back(child);
            }
        }
        ASSERT_EQ(seen, tree.NodeCount());
    }
}

TEST(PathMatching, FolderTestIsAsciiCaseInsensitiveAndStopsAtComponents)
{
    const std::u16string_view folder = u"c:\\sync";
    EXPECT_TRUE(Glint::PathInFolder(u"C:\\SYNC\\a.txt", folder));
    EXPECT_TRUE(Glint::PathInFolder(u"c:\\Sync", folder));
    EXPECT_TRUE(Glint::PathInFolder(u"c:\\sync\\", folder));
    EXPECT_FALSE(Glint::PathInFolder(u"c:\\syncother\\a.txt", folder));
    EXPECT_FALSE(Glint::PathInFolder(u"c:\\syn", folder));
    EXPECT_FALSE(Glint::PathInFolder(u"", folder));
    // Only A-Z fold: a capital with a diacritic is a different character.
    EXPECT_FALSE(Glint::PathInFolder(u"c:\\\u00C4", u"c:\\\u00E4"));
    EXPECT_TRUE(Glint::PathInFolder(u"c:\\\u00E4\\x", u"c:\\\u00E4"));
}

TEST(PathMatching, CopyLoweredCutsAndTerminates)
{
    char16_t out[5];
    Glint::CopyLowered(u"ABCDEFG", out, 5);
    EXPECT_EQ(std::u16string(out), u"abcd");
    Glint::CopyLowered(u"X\u00C4", out, 5);
    EXPECT_EQ(std::u16string(out), u"x\u00C4");
}

TEST(PathMatching, TempExtensionOnlyWhenTheFirstOccurrenceEndsThePath)
{
    char16_t a[] = u"c:\\sync\\doc.txt.tavo";
    EXPECT_TRUE(Glint::StripTempExtension(a));
    EXPECT_EQ(std::u16string(a), u"c:\\sync\\doc.txt");

    char16_t b[] = u"c:\\sync\\a.tavo\\b.txt";
    EXPECT_FALSE(Glint::StripTempExtension(b));
    EXPECT_EQ(std::u16string(b), u"c:\\sync\\a.tavo\\b.txt");

    char16_t c[] = u"c:\\sync\\a.tavo\\b.tavo";
    EXPECT_FALSE(Glint::StripTempExtension(c));

    char16_t d[] = u".tavo";
    EXPECT_TRUE(Glint::StripTempExtension(d));
    EXPECT_EQ(std::u16string(d), u"");
}

}  // namespace
