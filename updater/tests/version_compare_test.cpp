#include "updater/version_compare.h"

#include <gtest/gtest.h>

namespace Updater {
namespace {

struct VersionCase {
    const char16_t* installed;
    const char16_t* offered;
    bool older;
};

class VersionOrderTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionOrderTest, DecidesWhetherAnUpdateIsDue)
{
    const VersionCase& c = GetParam();
    EXPECT_EQ(IsVersionOlder(c.installed, c.offered), c.older);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, VersionOrderTest,
    ::testing::Values(
        // Parts are numbers, not text.
        VersionCase{u"1.0.0.9", u"1.0.0.10", true}, VersionCase{u"1.0.0.10", u"1.0.0.9", false},
        // Fewer full stops is older, whatever the numbers say.
        VersionCase{u"1.0", u"1.0.0.1", true}, VersionCase{u"2.0", u"1.0.0.1", true},
        // Equal and newer installs are left alone.
        VersionCase{u"1.0.0.2", u"1.0.0.2", false}, VersionCase{u"1.0.0.3", u"1.0.0.2", false},
        VersionCase{u"1.0.0.1", u"1.0.1.0", true}, VersionCase{u"1.2.0.0", u"1.10.0.0", true},
        // More parts installed than offered, equal as far as both go.
        VersionCase{u"1.0.0.1", u"1.0", false}, VersionCase{u"1.0.0.1", u"2.0", true},
        // Leading zeros do not change a number; numbers beyond any integer
        // type still compare.
        VersionCase{u"1.0.0.010", u"1.0.0.9", false}, VersionCase{u"1.0.0.007", u"1.0.0.7", false},
        VersionCase{u"1.0.0.99999999999999999999", u"1.0.0.100000000000000000000", true},
        // A full stop in front is not counted.
        VersionCase{u".1.0", u"1.0.0", true}, VersionCase{u"1..0.1", u"1.0.0", false},
        // Parts read the way the C library reads numbers.
        VersionCase{u"1.0.0.2b", u"1.0.0.3", true}, VersionCase{u"1.0.0.x", u"1.0.0.0", false},
        VersionCase{u"1.0.0.-1", u"1.0.0.0", true},
        // Minus zero is zero; of two negative parts the one further from zero
        // is the smaller.
        VersionCase{u"1.0.0.-0", u"1.0.0.0", false}, VersionCase{u"1.0.0.0", u"1.0.0.-0", false},
        VersionCase{u"1.0.0.-2", u"1.0.0.-1", true}, VersionCase{u"1.0.0.-1", u"1.0.0.-2", false},
        // Blanks before a part's number are passed over.
        VersionCase{u"1.0.0. 5", u"1.0.0.4", false}, VersionCase{u"1.0.0.\t3", u"1.0.0.4", true},
        VersionCase{u"", u"1.0", true}, VersionCase{u"1.0", u"", false}));

}  // namespace
}  // namespace Updater
