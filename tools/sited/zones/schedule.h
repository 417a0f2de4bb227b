#pragma once

#include <QJsonValue>
#include <QString>
#include <QTimeZone>
#include <QVector>

#include <cstdint>
#include <optional>

// When a zone or line is armed: a weekly schedule of spans of the site's
// wall clock, from a zone's "armed" property, and an operator's override.
// A disarmed zone raises its events but no alarms.
//
// A span starts on each of its days at from and ends at to on the same day,
// or on the next one when to is not after from (18:00 to 07:00; 00:00 to
// 00:00 is the whole day, as 00:00 to 24:00 is). Wall-clock times become
// instants by the site's time zone (QTimeZone, the system's tz database):
// - a time that the change to summer time skips (02:30 on the night the
//   clocks go from 02:00 to 03:00) is the first instant after the gap, the
//   instant of the change (03:00 summer time): a span from 02:00 to 02:30
//   that night is empty, one from 02:30 on starts at 03:00;
// - a time that the change to winter time repeats (02:30 on the night the
//   clocks go back from 03:00 to 02:00) is, for a span's start, its first
//   occurrence and, for its end, its second: a span touching the repeated
//   hour is armed the longer, and spans that touch (to 02:30, from 02:30)
//   still meet.
// Times are UTC ms since the epoch, as the picture's clock.
namespace trklib::sited::zones {

// At most this many spans in a zone's schedule.
constexpr int maxArmedSpans = 50;

struct ArmedSpan
{
    int days = 0;    // bit 0 Monday ... bit 6 Sunday
    int fromMin = 0; // minutes after midnight, 0 to 1439
    int toMin = 0;   // 0 to 1440; not after fromMin: on the next day

    bool operator==(const ArmedSpan& o) const
    {
        return days == o.days && fromMin == o.fromMin && toMin == o.toMin;
    }
};

// Reads a zone's "armed" property: a list of 1 to maxArmedSpans objects
// {"days": "Mon-Fri" or "Sat,Sun" or "Mon,Wed-Fri", "from": "HH:MM", "to":
// "HH:MM" (24:00 too)}. False with why ("armed[2] days: 'Fry' is not Mon,
// Tue, ...").
bool parseArmedSpans(const QJsonValue& value, QVector<ArmedSpan>& spans, QString& why);

// A weekly schedule in a time zone. No spans: always armed.
class ArmingSchedule
{
public:
    ArmingSchedule() = default;
    ArmingSchedule(QVector<ArmedSpan> spans, QTimeZone zone);

    struct Window
    {
        bool armed = true;
        std::optional<std::int64_t> untilMs; // when it changes next; none: never
    };

    // Whether armed at timeMs, and until when.
    Window at(std::int64_t timeMs) const;
    bool always() const { return spans_.isEmpty(); }

private:
    QVector<ArmedSpan> spans_;
    QTimeZone zone_;
};

// An operator's "arm now" or "disarm now": until the next change of the
// schedule, or until a given time.
struct ArmingOverride
{
    bool armed = false;
    std::optional<std::int64_t> untilMs; // none: until cleared (a schedule that never changes)
    std::int64_t sinceMs = 0;
    QString by; // who set it
};

// A zone's arming as it stands: the schedule, an override and the window
// of the last answer, so that asking every picture for every zone costs a
// comparison until the state changes.
class Arming
{
public:
    Arming() = default;
    explicit Arming(ArmingSchedule schedule);

    bool armed(std::int64_t timeMs);
    // The next instant after timeMs at which armed() changes; none: never.
    std::optional<std::int64_t> nextChange(std::int64_t timeMs);

    // Armed or disarmed from nowMs until untilMs, or without it until the
    // schedule's next change after nowMs.
    void setOverride(bool armed, std::int64_t nowMs, std::optional<std::int64_t> untilMs,
                     const QString& by);
    void clearOverride();
    // The override in force at the last answer (one that ran out is gone).
    const std::optional<ArmingOverride>& override() const { return override_; }
    const ArmingSchedule& schedule() const { return schedule_; }

private:
    const ArmingSchedule::Window& window(std::int64_t timeMs);

    ArmingSchedule schedule_;
    std::optional<ArmingOverride> override_;
    std::optional<std::int64_t> fromMs_; // the window holds from here
    ArmingSchedule::Window window_;
};

} // namespace trklib::sited::zones
