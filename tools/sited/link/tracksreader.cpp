#include "tools/sited/link/tracksreader.h"

#include "tools/common/service/jsonkeys.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <algorithm>
#include <cmath>

namespace trklib::sited::link {

namespace {

const QByteArray tracksLeaf = QByteArrayLiteral("/tracks");
const QString ownTopicLevel = QStringLiteral("site");

// The schema's limits.
constexpr double maxTimeMs = 8.64e15; // the end of JavaScript's dates
constexpr int maxTargets = 1000;
constexpr double maxNumber = 2147483647.0;
constexpr double maxDistanceM = 100000.0;
constexpr double maxVelocityKph = 1000.0;
constexpr double maxSiteM = 200000.0;
constexpr double maxLatitudeDeg = 90.0;
constexpr double maxLongitudeDeg = 180.0;
constexpr double maxRcsDbsm = 1000.0; // either way

// Whole numbers as integers, the others in their shortest form.
QString shortest(double value)
{
    constexpr double exactIntegers = 9007199254740992.0; // 2^53
    if (std::floor(value) == value && std::fabs(value) <= exactIntegers)
        return QString::number(qint64(value));
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

// A field of one object, checked: a reason why not, or empty.
class Fields
{
public:
    Fields(const QJsonObject& object, QString where) : object_(object), where_(std::move(where)) {}

    const QString& why() const { return why_; }

    double number(const char* key, double least, double greatest)
    {
        const QJsonValue v = object_.value(QLatin1String(key));
        if (why_.isEmpty() && !v.isDouble())
            fail(key, v.isUndefined() ? "missing" : "not a number");
        else if (why_.isEmpty() && !(v.toDouble() >= least && v.toDouble() <= greatest))
            fail(key,
                 qPrintable(QStringLiteral("%1 is outside %2 to %3")
                                .arg(shortest(v.toDouble()), shortest(least), shortest(greatest))));
        return why_.isEmpty() ? v.toDouble() : 0.0;
    }

    double integer(const char* key, double least, double greatest)
    {
        const double value = number(key, least, greatest);
        if (why_.isEmpty() && std::floor(value) != value)
            fail(key, "not a whole number");
        return value;
    }

    QString string(const char* key)
    {
        const QJsonValue v = object_.value(QLatin1String(key));
        if (why_.isEmpty() && !v.isString())
            fail(key, v.isUndefined() ? "missing" : "not a string");
        return v.toString();
    }

    bool boolean(const char* key)
    {
        const QJsonValue v = object_.value(QLatin1String(key));
        if (why_.isEmpty() && !v.isBool())
            fail(key, v.isUndefined() ? "missing" : "neither true nor false");
        return v.toBool();
    }

    // No field but those named.
    void onlyThese(std::initializer_list<const char*> keys)
    {
        for (auto it = object_.begin(); why_.isEmpty() && it != object_.end(); ++it) {
            if (std::none_of(keys.begin(), keys.end(),
                             [&](const char* key) { return it.key() == QLatin1String(key); }))
                why_ = QStringLiteral("%1%2: unknown field").arg(where_, it.key());
        }
    }

    void fail(const char* key, const char* reason)
    {
        why_ = QStringLiteral("%1%2: %3").arg(where_, QLatin1String(key), QLatin1String(reason));
    }

private:
    const QJsonObject& object_;
    QString where_; // "" or "targets[3]."
    QString why_;
};

// The target's reflectivity, when the message has one (an older trackd's
// has none: samples stay 0).
void readReflectivity(const QJsonObject& target, const QString& where, RadarTrack& track,
                      QString& why)
{
    const QJsonValue value = target.value(QLatin1String("rcs"));
    if (value.isUndefined())
        return;
    if (!value.isObject()) {
        why = where + QStringLiteral(".rcs: not an object");
        return;
    }
    const QJsonObject object = value.toObject();
    Fields f(object, where + QStringLiteral(".rcs."));
    track.rcsMeanDbsm = f.number("mean", -maxRcsDbsm, maxRcsDbsm);
    track.rcsMaxDbsm = f.number("max", -maxRcsDbsm, maxRcsDbsm);
    track.rcsLastDbsm = f.number("last", -maxRcsDbsm, maxRcsDbsm);
    track.rcsSamples = int(f.integer("samples", 0.0, maxNumber));
    f.onlyThese({"mean", "max", "last", "samples"});
    why = f.why();
}

bool readTarget(const QJsonValue& value, int index, RadarTrack& track, QString& why)
{
    const QString where = QStringLiteral("targets[%1]").arg(index);
    if (!value.isObject()) {
        why = where + QStringLiteral(": not an object");
        return false;
    }
    const QJsonObject object = value.toObject();
    Fields f(object, where + QLatin1Char('.'));
    track.number = int(f.integer("number", 0.0, maxNumber));
    f.number("elevation", -HUGE_VAL, HUGE_VAL);
    f.number("azimuth", -HUGE_VAL, HUGE_VAL);
    track.distanceM = f.number("distance", 0.0, maxDistanceM);
    track.velocityKph = f.number("velocity", -maxVelocityKph, maxVelocityKph);
    track.confirmed = f.boolean("confirmed");
    track.xM = f.number("x", -maxSiteM, maxSiteM);
    track.yM = f.number("y", -maxSiteM, maxSiteM);
    // Only with the site's origin, and then both.
    const bool lat = object.contains(QLatin1String("lat"));
    if (f.why().isEmpty() && lat != object.contains(QLatin1String("lon")))
        f.fail(lat ? "lon" : "lat", "missing: lat and lon go together");
    if (lat) {
        f.number("lat", -maxLatitudeDeg, maxLatitudeDeg);
        f.number("lon", -maxLongitudeDeg, maxLongitudeDeg);
    }
    f.onlyThese({"number", "elevation", "azimuth", "distance", "velocity", "confirmed", "rcs", "x",
                 "y", "lat", "lon"});
    why = f.why();
    if (why.isEmpty())
        readReflectivity(object, where, track, why);
    return why.isEmpty();
}

} // namespace

TracksReader::TracksReader(const site::SiteConfig& config)
    : site_(config.name),
      topicStart_(QStringLiteral("%1/%2/").arg(config.prefix, config.name).toUtf8())
{
    for (int i = 0; i < config.radars.size(); ++i)
        radars_.insert(config.radars[i].name, i);
}

QByteArray TracksReader::subscription() const
{
    return topicStart_ + '+' + tracksLeaf;
}

TracksReader::Verdict TracksReader::read(const QByteArray& topic, const QByteArray& payload,
                                         TracksReport& report, QString& why) const
{
    why.clear();
    if (!topic.startsWith(topicStart_) || !topic.endsWith(tracksLeaf) ||
        topic.size() <= topicStart_.size() + tracksLeaf.size()) {
        why = QStringLiteral("not a tracks topic of the site: %1").arg(QString::fromUtf8(topic));
        return Verdict::Bad;
    }
    const QString radar = QString::fromUtf8(
        topic.mid(topicStart_.size(), topic.size() - topicStart_.size() - tracksLeaf.size()));
    if (radar == ownTopicLevel)
        return Verdict::OwnPicture;
    const auto index = radars_.constFind(radar);
    if (index == radars_.cend()) {
        why = QStringLiteral("radar %1 is not in the site file").arg(radar);
        return Verdict::UnknownRadar;
    }

    if (service::repeatsAKey(payload)) {
        why = QStringLiteral("an object names a key twice");
        return Verdict::Bad;
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(payload, &parseError);
    if (!document.isObject()) {
        why = parseError.error != QJsonParseError::NoError
                  ? QStringLiteral("not JSON: %1 at byte %2")
                        .arg(parseError.errorString())
                        .arg(parseError.offset)
                  : QStringLiteral("not a JSON object");
        return Verdict::Bad;
    }
    const QJsonObject object = document.object();
    Fields f(object, QString());
    if (f.string("site") != site_ && f.why().isEmpty())
        f.fail("site", "not this site's name");
    if (f.string("radar") != radar && f.why().isEmpty())
        f.fail("radar", "not the radar of the topic");
    report.radar = *index;
    report.timestampMs = std::int64_t(f.integer("timestamp", 0.0, maxTimeMs));
    report.receivedMs = std::int64_t(f.integer("received", 0.0, maxTimeMs));
    const QJsonValue targets = object.value(QLatin1String("targets"));
    if (f.why().isEmpty() && !targets.isArray())
        f.fail("targets", targets.isUndefined() ? "missing" : "not a list");
    f.onlyThese({"site", "radar", "timestamp", "received", "targets"});
    if (!f.why().isEmpty()) {
        why = f.why();
        return Verdict::Bad;
    }
    const QJsonArray list = targets.toArray();
    if (list.size() > maxTargets) {
        why = QStringLiteral("targets: %1, more than %2").arg(list.size()).arg(maxTargets);
        return Verdict::Bad;
    }
    report.targets.resize(list.size());
    for (int i = 0; i < list.size(); ++i) {
        if (!readTarget(list[i], i, report.targets[i], why))
            return Verdict::Bad;
    }
    return Verdict::Report;
}

} // namespace trklib::sited::link
