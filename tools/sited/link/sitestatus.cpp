#include "tools/sited/link/sitestatus.h"

#include "tools/common/service/jsonwriter.h"
#include "util/units.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

namespace trklib::sited::link {

using service::appendInteger;
using service::appendNumber;
using service::appendString;

using util::msPerS;
using util::nsPerS;

namespace {

void appendDay(QByteArray& out, const std::optional<std::int64_t>& timeMs)
{
    if (!timeMs) {
        out.append("null");
        return;
    }
    appendString(
        out,
        QDateTime::fromMSecsSinceEpoch(*timeMs, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd")));
}

// A figure of an estimate, null while the radar is not observable.
void appendFigure(QByteArray& out, const char* key, bool known, double value)
{
    out.append(",\"").append(key).append("\":");
    if (known)
        appendNumber(out, value);
    else
        out.append("null");
}

void appendBool(QByteArray& out, const char* key, bool value)
{
    out.append(",\"").append(key).append(value ? "\":true" : "\":false");
}

void appendAlignment(QByteArray& out, const QStringList& radarNames,
                     const AlignmentStatus& alignment)
{
    out.append(",\"alignment\":{\"mode\":");
    out.append(alignment.apply ? "\"apply\"" : "\"report\"");
    out.append(",\"radars\":{");
    for (int i = 0; i < alignment.radars.size(); ++i) {
        const align::RadarEstimate& e = alignment.radars[i];
        if (i > 0)
            out.append(',');
        appendString(out, radarNames.value(e.radar));
        out.append(":{\"observable\":");
        out.append(e.observable ? "true" : "false");
        out.append(",\"why\":");
        if (e.observable)
            out.append("null");
        else
            appendString(out, e.why);
        appendBool(out, "anchor", e.anchor);
        appendBool(out, "certain", e.certain);
        appendBool(out, "applied", alignment.applied.value(e.radar));
        appendFigure(out, "heading_deg", e.observable, e.estimate.headingDeg);
        appendFigure(out, "x_m", e.observable, e.estimate.xM);
        appendFigure(out, "y_m", e.observable, e.estimate.yM);
        appendFigure(out, "range_m", e.observable, e.estimate.rangeM);
        appendFigure(out, "heading_sigma_deg", e.observable, e.sigma.headingDeg);
        appendFigure(out, "x_sigma_m", e.observable, e.sigma.xM);
        appendFigure(out, "y_sigma_m", e.observable, e.sigma.yM);
        appendFigure(out, "range_sigma_m", e.observable, e.sigma.rangeM);
        out.append(",\"co_sightings\":");
        appendInteger(out, e.coSightings);
        out.append('}');
    }
    out.append("}}");
}

} // namespace

QByteArray siteStatusMessage(const QStringList& radarNames, const SiteStatus& status,
                             std::int64_t nowMs)
{
    QByteArray out;
    out.append("{\"online\":true,\"radars\":{");
    for (int i = 0; i < radarNames.size(); ++i) {
        if (i > 0)
            out.append(',');
        appendString(out, radarNames[i]);
        out.append(':');
        const std::optional<std::int64_t> last = status.lastTracksMs.value(i);
        if (last)
            appendNumber(out, double(std::max<std::int64_t>(0, nowMs - *last)) / msPerS);
        else
            out.append("null");
    }
    out.append("},\"objects\":");
    appendInteger(out, status.objects);
    out.append(",\"pictures\":");
    appendInteger(out, status.pictures);
    out.append(",\"lateMessages\":");
    appendInteger(out, status.lateMessages);
    out.append(",\"fusionRecoveries\":");
    appendInteger(out, status.fusionRecoveries);
    out.append(",\"droppedEvents\":");
    appendInteger(out, status.droppedEvents);
    out.append(",\"droppedRecords\":");
    appendInteger(out, status.droppedRecords);
    out.append(",\"asterixClamped\":");
    appendInteger(out, status.asterixClamped);
    out.append(",\"outputDropped\":");
    appendInteger(out, status.outputDropped);
    out.append(",\"historyBytes\":");
    if (status.historyBytes)
        appendInteger(out, *status.historyBytes);
    else
        out.append("null");
    out.append(",\"historyOldestDay\":");
    appendDay(out, status.historyOldestMs);
    out.append(",\"historyNewestDay\":");
    appendDay(out, status.historyNewestMs);
    if (status.alignment)
        appendAlignment(out, radarNames, *status.alignment);
    if (!status.cameras.isEmpty())
        out.append(",\"cameras\":").append(status.cameras);
    out.append('}');
    return out;
}

QByteArray siteOfflineMessage()
{
    return QByteArrayLiteral("{\"online\":false}");
}

PictureClock::PictureClock(double ratePerS, Clock::time_point start)
    : periodNs_(nsPerS / ratePerS), start_(start), due_(start)
{}

PictureClock::Clock::time_point PictureClock::at(std::int64_t tick) const
{
    return start_ + std::chrono::nanoseconds(std::llround(double(tick) * periodNs_));
}

std::int64_t PictureClock::advance(Clock::time_point now)
{
    const double elapsedNs = double(std::chrono::nanoseconds(now - start_).count());
    std::int64_t next = std::max(tick_ + 1, std::int64_t(std::floor(elapsedNs / periodNs_)) + 1);
    // The division may land a tick short or long of the exact one.
    while (at(next) <= now)
        ++next;
    while (next - 1 > tick_ && at(next - 1) > now)
        --next;
    const std::int64_t skipped = next - tick_ - 1;
    tick_ = next;
    due_ = at(tick_);
    return skipped;
}

} // namespace trklib::sited::link
