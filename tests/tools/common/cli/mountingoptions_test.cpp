// The mounting options that radarsim, trackreplay and plot-tracks share.

#include "tools/common/cli/mountingoptions.h"

#include <QStringList>

#include <gtest/gtest.h>

namespace trklib::cli {
namespace {

bool sameConfig(const RadarConfig& a, const RadarConfig& b)
{
    return a.tilt == b.tilt && a.pan == b.pan && a.height == b.height &&
           a.panOffset == b.panOffset && a.orientation == b.orientation;
}

TEST(MountingOptions, TableGivesEveryFieldItsDefault)
{
    QStringList names;
    for (const MountingOption& option : mountingOptions())
        names << option.name;
    EXPECT_EQ(names, QStringList({"tilt", "pan", "height", "pan-offset", "orientation"}));
    EXPECT_TRUE(sameConfig(defaultMounting(), RadarConfig{0.0, 0.0, 5.0, 0.0, 0}));
    EXPECT_TRUE(isMountingOption("pan-offset"));
    EXPECT_FALSE(isMountingOption("port"));
    EXPECT_FALSE(isMountingOption("--tilt"));
}

TEST(MountingOptions, ValuesWithinTheLimitsOnly)
{
    const struct
    {
        const char* name;
        const char* value;
        bool accepted;
    } cases[] = {
        {"tilt", "-90", true},        {"tilt", "90.0", true},       {"tilt", "-90.5", false},
        {"pan", "180", true},         {"pan", "-180.01", false},    {"height", "0", true},
        {"height", "100", true},      {"height", "-0.1", false},    {"height", "1e3", false},
        {"pan-offset", "2.5", true},  {"pan-offset", "nan", false}, {"pan-offset", "inf", false},
        {"tilt", "steep", false},     {"tilt", "", false},          {"orientation", "1", true},
        {"orientation", "0", true},   {"orientation", "2", false},  {"orientation", "1.0", false},
        {"orientation", "-1", false}, {"speed", "1", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.value);
        RadarConfig config = defaultMounting();
        const RadarConfig before = config;
        QString error;
        EXPECT_EQ(setMountingOption(config, c.name, c.value, error), c.accepted);
        EXPECT_EQ(error.isEmpty(), c.accepted) << error.toStdString();
        if (!c.accepted) {
            EXPECT_TRUE(sameConfig(config, before)) << "a rejected value changed the config";
            EXPECT_FALSE(error.contains('\n'));
        }
    }
}

TEST(MountingOptions, EachOptionSetsItsOwnField)
{
    RadarConfig config = defaultMounting();
    QString error;
    for (const auto& [name, value] : {std::pair{"tilt", "-2.5"},
                                      {"pan", "3"},
                                      {"height", "6"},
                                      {"pan-offset", "1.25"},
                                      {"orientation", "1"}})
        ASSERT_TRUE(setMountingOption(config, name, value, error)) << error.toStdString();
    EXPECT_TRUE(sameConfig(config, RadarConfig{-2.5, 3.0, 6.0, 1.25, 1}));
}

TEST(MountingOptions, HelpHasALinePerOptionWithLimitsAndDefault)
{
    const QStringList lines = mountingHelp(20).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5);
    EXPECT_EQ(lines[2].toStdString(),
              "  --height M        mounting height above the ground, metres, 0 to 100 (default 5)");
    EXPECT_EQ(lines[4].toStdString(),
              "  --orientation 0|1 0 horizontal, 1 vertical mounting (default 0)");
}

} // namespace
} // namespace trklib::cli
