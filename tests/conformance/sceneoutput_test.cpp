#include "sceneoutput.h"

#include <gtest/gtest.h>

#include <limits>

namespace trklib::test {
namespace {

// The comparison decides what the conformance test can catch, so its
// tolerances are pinned here.
TEST(SceneOutputComparison, IntegersMustBeEqual)
{
    EXPECT_TRUE(linesMatch("P 3 1700000002000 2 5", "P 3 1700000002000 2 5"));
    EXPECT_FALSE(linesMatch("P 3 1700000002000 2 5", "P 3 1700000002001 2 5"));
    EXPECT_FALSE(linesMatch("P 3 1700000002000 2 5", "P 3 1700000002000 2 5.0"));
    EXPECT_FALSE(linesMatch("T 1 1 2 3 4 1", "T 1 1 2 3 4 0"));
    EXPECT_FALSE(linesMatch("V 12 1 2 3 4", "V -12 1 2 3 4"));
}

TEST(SceneOutputComparison, TargetDoublesToOnePartInABillion)
{
    EXPECT_TRUE(linesMatch("T 1 10 20 30 40 1", "T 1 10.000000009 20 30 40 1"));
    EXPECT_FALSE(linesMatch("T 1 10 20 30 40 1", "T 1 10.00000002 20 30 40 1"));
    // Near zero an absolute difference of 1e-9 is allowed.
    EXPECT_TRUE(linesMatch("T 1 0 20 30 40 1", "T 1 9e-10 20 30 40 1"));
    EXPECT_FALSE(linesMatch("T 1 0 20 30 40 1", "T 1 2e-9 20 30 40 1"));
}

TEST(SceneOutputComparison, ValidationValuesToOnePartInAMillion)
{
    EXPECT_TRUE(linesMatch("V 5 1 -2 30 40", "V 5 1 -2.0000019 30 40"));
    EXPECT_FALSE(linesMatch("V 5 1 -2 30 40", "V 5 1 -2.000003 30 40"));
    EXPECT_FALSE(linesMatch("V 5 0 -2 30 40", "V 5 1e-12 -2 30 40"));
}

TEST(SceneOutputComparison, NanAndInfinities)
{
    EXPECT_TRUE(linesMatch("T 1 nan 20 inf -inf 1", "T 1 -nan 20 inf -inf 1"));
    EXPECT_FALSE(linesMatch("T 1 nan 20 30 40 1", "T 1 0 20 30 40 1"));
    EXPECT_FALSE(linesMatch("T 1 10 inf 30 40 1", "T 1 10 -inf 30 40 1"));
    EXPECT_FALSE(linesMatch("T 1 10 inf 30 40 1", "T 1 10 1e308 30 40 1"));
}

TEST(SceneOutputComparison, KindAndFieldCountMustAgree)
{
    EXPECT_FALSE(linesMatch("V 5 1 2 3 4", "T 5 1 2 3 4"));
    EXPECT_FALSE(linesMatch("V 5 1 2 3 4", "V 5 1 2 3"));
    EXPECT_FALSE(linesMatch("V 5 1 2 3 4", "V 5 1 2 3 4 5"));
    EXPECT_FALSE(linesMatch("X 5", "X 5"));
}

TEST(SceneOutputComparison, ProducedLinesReadBackExactly)
{
    const double third = 1.0 / 3.0;
    const TargetData target{7, third, -third, 1e300, std::numeric_limits<double>::infinity(), true};
    EXPECT_EQ(targetLine(target), QByteArray("T 7 0.33333333333333331 -0.33333333333333331 "
                                             "1.0000000000000001e+300 inf 1"));
    const ValidationData record{-9, 0.1f, 2.0f, 3.5f, -4.25f};
    EXPECT_EQ(validationLine(record), QByteArray("V -9 0.10000000149011612 2 3.5 -4.25"));
}

TEST(SceneOutputComparison, MissingAndExtraLinesAreCounted)
{
    const QVector<PacketOutput> expected = parseSceneOutput("P 0 100 1 1\n"
                                                            "T 1 1 2 3 4 1\n"
                                                            "V 3 1 2 3 4\n"
                                                            "P 1 200 0 0\n");
    ASSERT_EQ(expected.size(), 2);
    EXPECT_EQ(expected[1].lines.first().lineNumber, 4);

    const QVector<PacketOutput> actual = parseSceneOutput("P 0 100 0 2\n"
                                                          "V 3 1 2 3 4\n"
                                                          "V 4 1 2 3 4\n");
    const SceneComparison result = compareSceneOutput(expected, actual);
    EXPECT_EQ(result.packets.expected, 2);
    EXPECT_EQ(result.packets.matched, 0);
    EXPECT_EQ(result.targets.expected, 1);
    EXPECT_EQ(result.targets.matched, 0);
    EXPECT_EQ(result.validation.expected, 1);
    EXPECT_EQ(result.validation.matched, 1);
    // The P lines of both packets, the missing T line and the extra V line.
    EXPECT_EQ(result.mismatches, 4);
    EXPECT_TRUE(result.firstMismatch.startsWith("packet 0, expected line 1"))
        << result.firstMismatch.toStdString();
}

} // namespace
} // namespace trklib::test
