#include "tools/sited/zones/schedule.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

using namespace trklib::sited::zones;

// A zone's arming: the weekly spans in the site's time zone, across
// midnight and both of a year's clock changes, and an operator's override.
namespace trklib::sited::test {
namespace {

// "2026-03-29T03:00+02:00" as UTC ms; an empty text as none.
std::optional<std::int64_t> at(const char* iso)
{
    if (!*iso)
        return std::nullopt;
    const QDateTime t = QDateTime::fromString(QLatin1String(iso), Qt::ISODate);
    EXPECT_TRUE(t.isValid()) << iso;
    return t.toMSecsSinceEpoch();
}

std::int64_t ms(const char* iso)
{
    return *at(iso);
}

QString iso(std::optional<std::int64_t> timeMs)
{
    return timeMs ? QDateTime::fromMSecsSinceEpoch(*timeMs, QTimeZone("Europe/Berlin"))
                        .toString(Qt::ISODate)
                  : QString();
}

ArmingSchedule schedule(const char* json, const char* zone = "Europe/Berlin")
{
    QVector<ArmedSpan> spans;
    QString why;
    if (*json) {
        EXPECT_TRUE(parseArmedSpans(QJsonDocument::fromJson(json).array(), spans, why))
            << why.toStdString();
    }
    return ArmingSchedule(spans, QTimeZone(zone));
}

// 2026-12-07 is a Monday; 2026-03-29 and 2026-10-25 are the Sundays on
// which Berlin's clocks go from 02:00 to 03:00 and from 03:00 back to 02:00
// (both at 01:00 UTC).
TEST(ArmingSchedule, ArmedByTheWeekAcrossMidnightAndBothClockChanges)
{
    const char* nights =
        R"([{"days":"Mon-Fri","from":"18:00","to":"07:00"},{"days":"Sat,Sun","from":"00:00","to":"24:00"}])";
    const char* office = R"([{"days":"Mon-Fri","from":"08:00","to":"17:00"}])";
    const char* toHalfPast = R"([{"days":"Sat","from":"22:00","to":"02:30"}])";
    const char* fromHalfPast = R"([{"days":"Sun","from":"02:30","to":"05:00"}])";
    const char* touching = R"([{"days":"Sat","from":"22:00","to":"02:30"},)"
                           R"({"days":"Sun","from":"02:30","to":"05:00"}])";
    const struct
    {
        const char* what;
        const char* spans;
        const char* time;
        bool armed;
        const char* until; // empty: never
    } cases[]{
        {"no schedule", "", "2026-12-07T12:00+01:00", true, ""},
        {"all week", R"([{"days":"Mon-Sun","from":"00:00","to":"24:00"}])",
         "2026-10-25T02:30+01:00", true, ""},
        {"Monday noon", nights, "2026-12-07T12:00+01:00", false, "2026-12-07T18:00:00+01:00"},
        {"its start", nights, "2026-12-07T18:00+01:00", true, "2026-12-08T07:00:00+01:00"},
        {"past midnight", nights, "2026-12-08T06:59:59+01:00", true, "2026-12-08T07:00:00+01:00"},
        {"its end", nights, "2026-12-08T07:00+01:00", false, "2026-12-08T18:00:00+01:00"},
        {"Friday into the weekend", nights, "2026-12-11T20:00+01:00", true,
         "2026-12-14T00:00:00+01:00"},
        {"Monday before dark", nights, "2026-12-14T03:00+01:00", false,
         "2026-12-14T18:00:00+01:00"},
        {"the office at its close", office, "2026-12-11T17:00+01:00", false,
         "2026-12-14T08:00:00+01:00"},
        {"the office on Sunday", office, "2026-12-13T12:00+01:00", false,
         "2026-12-14T08:00:00+01:00"},
        {"midnight to midnight", R"([{"days":"Sun","from":"00:00","to":"00:00"}])",
         "2026-12-13T23:59+01:00", true, "2026-12-14T00:00:00+01:00"},
        {"asked in UTC", R"([{"days":"Mon","from":"18:00","to":"07:00"}])", "2026-07-06T15:59:59Z",
         false, "2026-07-06T18:00:00+02:00"},
        // Spring: 02:00 to 03:00 does not exist; such a time is 03:00.
        {"spring, from 02:30", fromHalfPast, "2026-03-29T01:59:59+01:00", false,
         "2026-03-29T03:00:00+02:00"},
        {"spring, from 02:30 at 03:00", fromHalfPast, "2026-03-29T03:00+02:00", true,
         "2026-03-29T05:00:00+02:00"},
        {"spring, to 02:30", toHalfPast, "2026-03-29T01:30+01:00", true,
         "2026-03-29T03:00:00+02:00"},
        {"spring, 02:00 to 02:30 is empty", R"([{"days":"Sun","from":"02:00","to":"02:30"}])",
         "2026-03-29T01:59+01:00", false, "2026-04-05T02:00:00+02:00"},
        {"spring, 01:00 to 03:00 lasts an hour", R"([{"days":"Sun","from":"01:00","to":"03:00"}])",
         "2026-03-29T01:59+01:00", true, "2026-03-29T03:00:00+02:00"},
        // Autumn: 02:00 to 03:00 comes twice; a start is the first, an end
        // the second.
        {"autumn, to 02:30 past the first", toHalfPast, "2026-10-25T02:45+02:00", true,
         "2026-10-25T02:30:00+01:00"},
        {"autumn, to 02:30 at the second", toHalfPast, "2026-10-25T02:30+01:00", false,
         "2026-10-31T22:00:00+01:00"},
        {"autumn, from 02:30", fromHalfPast, "2026-10-25T02:15+02:00", false,
         "2026-10-25T02:30:00+02:00"},
        {"autumn, touching spans meet", touching, "2026-10-25T02:40+01:00", true,
         "2026-10-25T05:00:00+01:00"},
        {"autumn, 02:00 to 03:00 lasts two hours",
         R"([{"days":"Sun","from":"02:00","to":"03:00"}])", "2026-10-25T02:59+02:00", true,
         "2026-10-25T03:00:00+01:00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ArmingSchedule::Window w = schedule(c.spans).at(ms(c.time));
        EXPECT_EQ(w.armed, c.armed);
        EXPECT_EQ(iso(w.untilMs).toStdString(), c.until);
        // The cached answer agrees, and ends where the window does.
        Arming arming(schedule(c.spans));
        EXPECT_EQ(arming.armed(ms(c.time)), c.armed);
        if (w.untilMs) {
            EXPECT_EQ(arming.armed(*w.untilMs - 1), c.armed);
            EXPECT_EQ(arming.armed(*w.untilMs), !c.armed);
            EXPECT_EQ(arming.armed(ms(c.time)), c.armed) << "back in time";
        }
    }
    EXPECT_EQ(schedule(R"([{"days":"Mon","from":"18:00","to":"07:00"}])", "UTC")
                  .at(ms("2026-07-06T17:59:59Z"))
                  .untilMs,
              at("2026-07-06T18:00Z"));
}

// An override holds until the schedule's next change, or until the time
// given, and where the schedule goes on as it held, no change is seen.
TEST(ArmingSchedule, AnOverrideHoldsUntilTheNextChange)
{
    Arming arming(schedule(R"([{"days":"Mon-Fri","from":"18:00","to":"07:00"}])"));
    arming.setOverride(true, ms("2026-12-07T12:00+01:00"), std::nullopt, QStringLiteral("ana"));
    EXPECT_TRUE(arming.armed(ms("2026-12-07T12:00+01:00")));
    EXPECT_EQ(iso(arming.nextChange(ms("2026-12-07T12:00+01:00"))), "2026-12-08T07:00:00+01:00");
    ASSERT_TRUE(arming.override());
    EXPECT_EQ(arming.override()->by, QStringLiteral("ana"));
    EXPECT_EQ(iso(arming.override()->untilMs), "2026-12-07T18:00:00+01:00");
    EXPECT_TRUE(arming.armed(ms("2026-12-07T18:00+01:00")));
    EXPECT_FALSE(arming.override()) << "ran out at the schedule's change";

    arming.setOverride(false, ms("2026-12-07T20:00+01:00"), std::nullopt, QStringLiteral("bo"));
    EXPECT_FALSE(arming.armed(ms("2026-12-08T06:59+01:00")));
    EXPECT_EQ(iso(arming.nextChange(ms("2026-12-08T06:59+01:00"))), "2026-12-08T18:00:00+01:00");
    EXPECT_FALSE(arming.armed(ms("2026-12-08T07:00+01:00")));
    EXPECT_TRUE(arming.armed(ms("2026-12-08T18:00+01:00")));

    arming.setOverride(false, ms("2026-12-08T20:00+01:00"), at("2026-12-08T21:00+01:00"),
                       QStringLiteral("bo"));
    EXPECT_EQ(iso(arming.nextChange(ms("2026-12-08T20:00+01:00"))), "2026-12-08T21:00:00+01:00");
    EXPECT_TRUE(arming.armed(ms("2026-12-08T21:00+01:00")));
    arming.setOverride(false, ms("2026-12-08T22:00+01:00"), std::nullopt, QString());
    arming.clearOverride();
    EXPECT_TRUE(arming.armed(ms("2026-12-08T22:00+01:00")));

    Arming always{ArmingSchedule()};
    always.setOverride(false, 0, std::nullopt, QString());
    EXPECT_FALSE(always.armed(ms("2036-01-01T00:00Z"))) << "until cleared";
    EXPECT_EQ(always.nextChange(0), std::nullopt);
}

} // namespace
} // namespace trklib::sited::test
