#include "tools/sited/zones/schedule.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace trklib::sited::zones {

namespace {

constexpr std::int64_t minuteMs = 60 * 1000;
constexpr std::int64_t dayMs = 24 * 60 * minuteMs;
constexpr int minutesPerDay = 24 * 60;
constexpr int daysPerWeek = 7;
// Days of the site's calendar looked at from the day of the time asked:
// two weeks on, so that a gap of the week shows even where one night of a
// clock change closes it.
constexpr int daysAhead = 2 * daysPerWeek + 1;
constexpr std::int64_t alwaysMs = 2 * daysPerWeek * dayMs; // armed this long: always
constexpr int thursday = 3;                                // 1970-01-01, Monday 0

const QStringList& dayNames()
{
    static const QStringList names{
        QStringLiteral("Mon"), QStringLiteral("Tue"), QStringLiteral("Wed"), QStringLiteral("Thu"),
        QStringLiteral("Fri"), QStringLiteral("Sat"), QStringLiteral("Sun")};
    return names;
}

// "Mon-Fri", "Sat,Sun", "Mon,Wed-Fri"; a range may wrap ("Fri-Mon").
bool parseDays(const QString& text, int& days)
{
    days = 0;
    for (const QString& item : text.split(QLatin1Char(','))) {
        const QStringList ends = item.trimmed().split(QLatin1Char('-'));
        if (ends.size() > 2)
            return false;
        const int first = int(dayNames().indexOf(ends.first().trimmed()));
        const int last = int(dayNames().indexOf(ends.last().trimmed()));
        if (first < 0 || last < 0)
            return false;
        for (int d = first;; d = (d + 1) % daysPerWeek) {
            days |= 1 << d;
            if (d == last)
                break;
        }
    }
    return true;
}

// "HH:MM", 00:00 to 23:59, or 24:00 where allowed.
bool parseTime(const QString& text, bool endOfDay, int& minutes)
{
    static const QRegularExpression form(QStringLiteral("\\A([01][0-9]|2[0-3]):([0-5][0-9])\\z"));
    if (endOfDay && text == QLatin1String("24:00")) {
        minutes = minutesPerDay;
        return true;
    }
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return false;
    minutes = m.captured(1).toInt() * 60 + m.captured(2).toInt();
    return true;
}

bool parseSpan(const QJsonValue& value, ArmedSpan& span, QString& why)
{
    const QJsonObject object = value.toObject();
    const QStringList keys{QStringLiteral("days"), QStringLiteral("from"), QStringLiteral("to")};
    bool exact = value.isObject() && object.size() == keys.size();
    for (const QString& key : keys)
        exact = exact && object.value(key).isString();
    if (!exact) {
        why = QStringLiteral("not an object of days, from and to, each a string");
        return false;
    }
    const QString days = object.value(QLatin1String("days")).toString();
    if (!parseDays(days, span.days)) {
        why = QStringLiteral("days: '%1' is not a list of days (Mon, Tue, Wed, Thu, Fri, Sat, "
                             "Sun) and ranges of them (Mon-Fri)")
                  .arg(days);
        return false;
    }
    const QString from = object.value(QLatin1String("from")).toString();
    if (!parseTime(from, false, span.fromMin)) {
        why = QStringLiteral("from: '%1' is not a time HH:MM from 00:00 to 23:59").arg(from);
        return false;
    }
    const QString to = object.value(QLatin1String("to")).toString();
    if (!parseTime(to, true, span.toMin)) {
        why = QStringLiteral("to: '%1' is not a time HH:MM from 00:00 to 24:00").arg(to);
        return false;
    }
    return true;
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b)
{
    return a / b - (a % b < 0 ? 1 : 0);
}

std::int64_t offsetMs(const QTimeZone& zone, std::int64_t utcMs)
{
    return std::int64_t(zone.offsetFromUtc(QDateTime::fromMSecsSinceEpoch(utcMs, Qt::UTC))) * 1000;
}

// The instant of a wall-clock time (ms since the epoch as if the zone were
// UTC): a repeated one's first or second occurrence; a skipped one's first
// instant after the gap.
std::int64_t toUtc(const QTimeZone& zone, std::int64_t localMs, bool first)
{
    const std::int64_t before = offsetMs(zone, localMs - dayMs);
    const std::int64_t after = offsetMs(zone, localMs + dayMs);
    const std::int64_t early = localMs - std::max(before, after);
    const std::int64_t late = localMs - std::min(before, after);
    const bool earlyHolds = offsetMs(zone, early) == std::max(before, after);
    const bool lateHolds = offsetMs(zone, late) == std::min(before, after);
    if (earlyHolds && lateHolds)
        return first ? early : late;
    if (earlyHolds || lateHolds)
        return earlyHolds ? early : late;
    // Skipped: the change lies after early and at or before late.
    const QTimeZone::OffsetData change =
        zone.nextTransition(QDateTime::fromMSecsSinceEpoch(early, Qt::UTC));
    return change.atUtc.isValid() ? change.atUtc.toMSecsSinceEpoch() : late;
}

struct Interval
{
    std::int64_t startMs;
    std::int64_t endMs;
};

} // namespace

bool parseArmedSpans(const QJsonValue& value, QVector<ArmedSpan>& spans, QString& why)
{
    spans.clear();
    if (!value.isArray()) {
        why = QStringLiteral("armed: not a list of spans {\"days\", \"from\", \"to\"}");
        return false;
    }
    const QJsonArray list = value.toArray();
    if (list.isEmpty()) {
        why = QStringLiteral("armed: an empty list; leave it out for always armed");
        return false;
    }
    if (list.size() > maxArmedSpans) {
        why = QStringLiteral("armed: %1 spans; at most %2").arg(list.size()).arg(maxArmedSpans);
        return false;
    }
    for (int i = 0; i < list.size(); ++i) {
        ArmedSpan span;
        QString spanWhy;
        if (!parseSpan(list[i], span, spanWhy)) {
            why = QStringLiteral("armed span %1 %2").arg(i + 1).arg(spanWhy);
            spans.clear();
            return false;
        }
        spans.append(span);
    }
    return true;
}

ArmingSchedule::ArmingSchedule(QVector<ArmedSpan> spans, QTimeZone zone)
    : spans_(std::move(spans)), zone_(std::move(zone))
{}

ArmingSchedule::Window ArmingSchedule::at(std::int64_t timeMs) const
{
    if (spans_.isEmpty())
        return {true, std::nullopt};
    // The spans of the day before (one that runs past midnight) to two
    // weeks on, as instants, joined where they meet.
    const std::int64_t today = floorDiv(timeMs + offsetMs(zone_, timeMs), dayMs);
    QVector<Interval> intervals;
    for (std::int64_t day = today - 1; day <= today + daysAhead; ++day) {
        const int weekday = int((day % daysPerWeek + daysPerWeek + thursday) % daysPerWeek);
        for (const ArmedSpan& span : spans_) {
            if (!(span.days & (1 << weekday)))
                continue;
            const std::int64_t endDay = span.toMin > span.fromMin ? day : day + 1;
            const std::int64_t start = toUtc(zone_, day * dayMs + span.fromMin * minuteMs, true);
            const std::int64_t end = toUtc(zone_, endDay * dayMs + span.toMin * minuteMs, false);
            if (end > start)
                intervals.append({start, end});
        }
    }
    std::sort(intervals.begin(), intervals.end(),
              [](const Interval& a, const Interval& b) { return a.startMs < b.startMs; });
    QVector<Interval> joined;
    for (const Interval& interval : qAsConst(intervals)) {
        if (!joined.isEmpty() && interval.startMs <= joined.last().endMs)
            joined.last().endMs = std::max(joined.last().endMs, interval.endMs);
        else
            joined.append(interval);
    }
    for (const Interval& interval : qAsConst(joined)) {
        if (timeMs < interval.startMs)
            return {false, interval.startMs};
        if (timeMs < interval.endMs) {
            if (interval.endMs - timeMs > alwaysMs)
                return {true, std::nullopt};
            return {true, interval.endMs};
        }
    }
    return {false, std::nullopt};
}

Arming::Arming(ArmingSchedule schedule) : schedule_(std::move(schedule)) {}

const ArmingSchedule::Window& Arming::window(std::int64_t timeMs)
{
    if (override_ && override_->untilMs && timeMs >= *override_->untilMs) {
        override_.reset();
        fromMs_.reset();
    }
    if (fromMs_ && timeMs >= *fromMs_ && (!window_.untilMs || timeMs < *window_.untilMs))
        return window_;
    if (override_) {
        window_ = {override_->armed, override_->untilMs};
        if (override_->untilMs) {
            // No change where the schedule goes on as the override held.
            const ArmingSchedule::Window after = schedule_.at(*override_->untilMs);
            if (after.armed == override_->armed)
                window_.untilMs = after.untilMs;
        }
    } else {
        window_ = schedule_.at(timeMs);
    }
    fromMs_ = timeMs;
    return window_;
}

bool Arming::armed(std::int64_t timeMs)
{
    return window(timeMs).armed;
}

std::optional<std::int64_t> Arming::nextChange(std::int64_t timeMs)
{
    return window(timeMs).untilMs;
}

void Arming::setOverride(bool armed, std::int64_t nowMs, std::optional<std::int64_t> untilMs,
                         const QString& by)
{
    override_ = ArmingOverride{armed, untilMs ? untilMs : schedule_.at(nowMs).untilMs, nowMs, by};
    fromMs_.reset();
}

void Arming::clearOverride()
{
    override_.reset();
    fromMs_.reset();
}

} // namespace trklib::sited::zones
