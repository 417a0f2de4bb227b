#include "sceneoutput.h"

#include <gtest/gtest.h>

#include <cstring>

namespace trklib::test {
namespace {

// The comparison decides what the conformance test can catch: it allows no
// difference at all, pinned here.
TEST(SceneOutputComparison, FieldsMatchExactly)
{
    const struct
    {
        const char* expected;
        const char* actual;
        bool match;
    } cases[] = {
        // Integers must be equal.
        {"P 3 1700000002000 2 5", "P 3 1700000002000 2 5", true},
        {"P 3 1700000002000 2 5", "P 3 1700000002001 2 5", false},
        {"P 3 1700000002000 2 5", "P 3 1700000002000 2 5.0", false},
        {"T 1 1 2 3 4 1", "T 1 1 2 3 4 0", false},
        {"V 12 1 2 3 4", "V -12 1 2 3 4", false},
        // Numbers to the last bit: one unit in the last place apart is a
        // mismatch, whatever the kind of line; the same value written
        // differently is not.
        {"T 1 5.7295779513082321 20 30 40 1", "T 1 5.7295779513082321 20 30 40 1", true},
        {"T 1 5.7295779513082321 20 30 40 1", "T 1 5.729577951308233 20 30 40 1", false},
        {"T 1 10 20 30 40 1", "T 1 10.000000000000002 20 30 40 1", false},
        {"T 1 10 20 30 40 1", "T 1 1e1 20.0 30 40 1", true},
        {"V 5 1 -2 30 40", "V 5 1 -2.0000000000000004 30 40", false},
        {"V 5 1 -2.000000238418579 30 40", "V 5 1 -2.0000002384185791 30 40", true},
        {"V 5 0 -2 30 40", "V 5 1e-300 -2 30 40", false},
        {"V 5 0 -2 30 40", "V 5 -0 -2 30 40", false},
        // NaN and infinities.
        {"T 1 nan 20 inf -inf 1", "T 1 nan 20 inf -inf 1", true},
        {"T 1 nan 20 30 40 1", "T 1 -nan 20 30 40 1", false},
        {"T 1 nan 20 30 40 1", "T 1 0 20 30 40 1", false},
        {"T 1 10 20 30 40 1", "T 1 nan 20 30 40 1", false},
        {"T 1 10 inf 30 40 1", "T 1 10 -inf 30 40 1", false},
        {"T 1 10 inf 30 40 1", "T 1 10 1e308 30 40 1", false},
        {"T 1 x 20 30 40 1", "T 1 x 20 30 40 1", false},
        // Kind and field count.
        {"V 5 1 2 3 4", "T 5 1 2 3 4", false},
        {"V 5 1 2 3 4", "V 5 1 2 3", false},
        {"V 5 1 2 3 4", "V 5 1 2 3 4 5", false},
        {"V 5 1 2 3 4", "", false},
        {"X 5", "X 5", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(linesMatch(c.expected, c.actual), c.match) << c.expected << " | " << c.actual;
}

TEST(SceneOutputComparison, CountsMissingWrongAndExtraLines)
{
    const QByteArray expected = "P 0 100 1 1\nT 1 1 2 3 4 1\nV 3 1 2 3 4\n\nP 1 200 0 0\n";
    const QByteArray p0 = "P 0 100 1 1", t = "T 1 1 2 3 4 1", v = "V 3 1 2 3 4";
    const QByteArray p1 = "P 1 200 0 0";
    const struct
    {
        QList<QByteArray> actual;
        int matchedPackets;
        int matchedTargets;
        int mismatches;
        const char* firstMismatch;
    } cases[] = {
        {{p0, t, v, p1}, 2, 1, 0, ""},
        {{p0, t, v}, 1, 1, 1, "line 5: expected \"P 1 200 0 0\", got \"\""},
        {{p0, "T 1 1 2 3 5 1", v, p1}, 2, 0, 1, "line 2: expected \"T 1 1 2 3 4 1\""},
        {{p0, t, v, p1, v}, 2, 1, 1, "extra line: expected \"\", got \"V 3 1 2 3 4\""},
        {{p0, v, p1}, 1, 0, 3, "line 2:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.firstMismatch);
        const SceneComparison result = compareScene(expected, c.actual);
        EXPECT_EQ(result.expected, (QMap<char, int>{{'P', 2}, {'T', 1}, {'V', 1}}));
        EXPECT_EQ(result.matched.value('P'), c.matchedPackets);
        EXPECT_EQ(result.matched.value('T'), c.matchedTargets);
        EXPECT_EQ(result.mismatches, c.mismatches);
        EXPECT_EQ(result.firstMismatch.left(int(std::strlen(c.firstMismatch))).toStdString(),
                  c.firstMismatch);
    }
}

} // namespace
} // namespace trklib::test
