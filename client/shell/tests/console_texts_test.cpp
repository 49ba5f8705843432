#include "client/shell/console_texts.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace Helper;
using Sync::SyncEffect;

TEST(ConsoleExitCodes, EachOutcomeHasItsOwnCodeAndTheWorstWins)
{
    RunEnd end;
    end.quiet = true;
    EXPECT_EQ(ExitCodeFor(end), ExitDone);
    end.conflicts = 1;
    EXPECT_EQ(ExitCodeFor(end), ExitProblems);
    end.conflicts = 0;
    end.errors = 2;
    EXPECT_EQ(ExitCodeFor(end), ExitProblems);
    // Work left over hides the problems of a run that did not finish.
    end.quiet = false;
    EXPECT_EQ(ExitCodeFor(end), ExitUnfinished);
    // A pass that could not see a folder is not a mere timeout.
    end.listed = false;
    EXPECT_EQ(ExitCodeFor(end), ExitUnlisted);
    end.quiet = true;
    EXPECT_EQ(ExitCodeFor(end), ExitUnlisted) << "never done without every listing";
    end.incompatible = true;
    EXPECT_EQ(ExitCodeFor(end), ExitIncompatible);
}

TEST(ConsoleExitCodes, TheListIsNumberedWithoutGapsAndEveryCodeIsExplained)
{
    std::set<int> codes;
    int expected = 0;
    for (const ExitCodeText& text : ExitCodeTexts()) {
        EXPECT_EQ(text.code, expected++);
        EXPECT_GT(std::u16string(text.meaning).size(), 10u);
        codes.insert(text.code);
    }
    EXPECT_EQ(codes.size(), 9u);
    EXPECT_EQ(*codes.rbegin(), ExitIncompatible);
}

TEST(ConsoleSignOn, RefusalsAreSaidInWords)
{
    EXPECT_EQ(SignOnRefusal(102, u"ann"), u"the server knows no user ann");
    EXPECT_EQ(SignOnRefusal(103, u"ann"), u"wrong password for ann");
    EXPECT_NE(SignOnRefusal(104, u"ann").find(u"frozen"), std::u16string::npos);
    EXPECT_NE(SignOnRefusal(105, u"ann").find(u"malformed"), std::u16string::npos);
    EXPECT_TRUE(SignOnRefusal(101, u"ann").empty());
    EXPECT_TRUE(SignOnRefusal(0, u"ann").empty());
}

TEST(ConsoleSizes, BytesBelowAKibibyteAreCountedAndLargerSizesUseTheTrayUnits)
{
    EXPECT_EQ(ReadableSize(0), u"0 bytes");
    EXPECT_EQ(ReadableSize(1), u"1 byte");
    EXPECT_EQ(ReadableSize(1023), u"1023 bytes");
    EXPECT_EQ(ReadableSize(1024), u"1.0 KB");
    EXPECT_EQ(ReadableSize(1073741824ull), u"1.0 GB");
    EXPECT_EQ(TransferFigures(20971520, 500), u"20.0 MB in 0.5 s (40.0 MB/s)");
    EXPECT_EQ(TransferFigures(4096, 0), u"4.0 KB in 0.0 s") << "no rate without a time";
    EXPECT_EQ(TransferFigures(9, 11), u"9 bytes in 0.0 s") << "nor over a few milliseconds";
}

TEST(ConsoleLines, EachEffectSaysWhatWasDone)
{
    EXPECT_EQ(ActionLine(SyncEffect::Uploaded, u"docs\\a.txt", u"", 3000000),
              u"uploaded                 docs\\a.txt (2.9 MB)");
    EXPECT_EQ(ActionLine(SyncEffect::Uploaded, u"copy.txt", u"", 0),
              u"uploaded                 copy.txt (the server had its contents already)");
    EXPECT_EQ(ActionLine(SyncEffect::RenamedOnServer, u"b.txt", u"a.txt", 0),
              u"renamed on the server    a.txt → b.txt");
    EXPECT_EQ(ActionLine(SyncEffect::RenamedHere, u"b.txt", u"a.txt", 0), u"renamed here             a.txt → b.txt");
    EXPECT_EQ(ActionLine(SyncEffect::DeletedOnServer, u"old.txt", u"", 0), u"deleted on the server    old.txt");
    EXPECT_EQ(ActionLine(SyncEffect::FolderCreatedOnServer, u"docs", u"", 0), u"folder created on server docs");
    EXPECT_EQ(ActionLine(SyncEffect::DeletedHere, u"x", u"", 0).rfind(u"deleted here ", 0), 0u);
    EXPECT_EQ(ActionLine(SyncEffect::Conflict, u"x", u"", 0).rfind(u"conflict ", 0), 0u);
    // Nothing is printed for an action that found nothing to do.
    EXPECT_TRUE(ActionLine(SyncEffect::None, u"x", u"", 0).empty());
    EXPECT_TRUE(ActionLine(SyncEffect::Agreed, u"x", u"", 0).empty());
}

TEST(ConsoleLines, ProgressKeepsTheEndOfALongPathWithinTheWidth)
{
    const std::u16string line = ProgressLine(true, u"big.bin", 5242880, 20971520, 1048576);
    EXPECT_EQ(line, u"uploading big.bin 25% (5.0 MB of 20.0 MB, 1.0 MB/s)");
    const std::u16string path = std::u16string(200, u'd') + u"\\movie.mkv";
    const std::u16string long_line = ProgressLine(false, path, 0, 1000, 0);
    EXPECT_LE(long_line.size(), 72u);
    EXPECT_NE(long_line.find(u"…"), std::u16string::npos);
    EXPECT_NE(long_line.find(u"movie.mkv 0% (0 bytes of 1000 bytes)"), std::u16string::npos);
}

TEST(ConsoleSummary, CountsEveryKindAndTheTransfers)
{
    RunCounts counts;
    counts.Add(SyncEffect::Uploaded, 20971520, 500);
    counts.Add(SyncEffect::Uploaded, 0, 0);
    counts.Add(SyncEffect::DeletedOnServer, 0, 0);
    counts.Add(SyncEffect::RenamedHere, 0, 0);
    counts.Add(SyncEffect::RenamedOnServer, 0, 0);
    counts.Add(SyncEffect::FolderCreatedHere, 0, 0);
    counts.Add(SyncEffect::Count, 5, 5);
    EXPECT_EQ(SummaryLine(counts, 1, 0, true),
              u"done: 2 uploaded, 0 downloaded, 0 deleted here, 1 deleted on the server, 2 renamed, "
              u"1 folders created, 1 in conflict, 0 in error");
    EXPECT_EQ(SummaryLine(counts, 0, 0, false).rfind(u"not done: ", 0), 0u);
    EXPECT_EQ(TransfersLine(counts), u"transfers: up 20.0 MB in 0.5 s (40.0 MB/s), down nothing");
}

}  // namespace
