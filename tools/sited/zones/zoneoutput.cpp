#include "tools/sited/zones/zoneoutput.h"

#include "tools/sited/zones/zonemessages.h"
#include "tools/sited/zones/zonesfile.h"

#include <QDateTime>

#include <QTimeZone>
#include <algorithm>

namespace trklib::sited::zones {

bool ZoneOutput::load(const QString& sitePath, const site::SiteConfig& config,
                      std::unique_ptr<ZoneOutput>& zones, QString& error)
{
    zones.reset();
    if (config.zonesFile.isEmpty())
        return true;
    if (!config.origin) { // the site file's reader refuses zones without one
        error = QStringLiteral("%1: [zones] file: the site has no origin").arg(sitePath);
        return false;
    }
    QVector<Zone> read;
    if (!loadZones(config.zonesFile, site::GeoReference(*config.origin), read, error)) {
        error = QStringLiteral("%1: [zones] file: %2").arg(sitePath, error);
        return false;
    }
    zones = std::make_unique<ZoneOutput>(config, std::move(read));
    const qsizetype messageBytes = zones->zonesMessage().payload.size();
    if (messageBytes > maxZonesMessageBytes) {
        error = QStringLiteral("%1: [zones] file: %2: its zones make a message of %3 bytes; the "
                               "site view takes at most %4")
                    .arg(sitePath, config.zonesFile)
                    .arg(messageBytes)
                    .arg(maxZonesMessageBytes);
        zones.reset();
        return false;
    }
    return true;
}

ZoneOutput::ZoneOutput(const site::SiteConfig& config, QVector<Zone> zones)
    : site_(config.name),
      zonesTopic_(QStringLiteral("%1/%2/zones").arg(config.prefix, config.name).toUtf8()),
      eventsTopic_(QStringLiteral("%1/%2/events").arg(config.prefix, config.name).toUtf8()),
      rules_({}), timezone_(config.timezone)
{
    if (config.origin)
        geo_.emplace(*config.origin);
    replace(std::move(zones), QDateTime::currentMSecsSinceEpoch());
}

QVector<QByteArray> ZoneOutput::replace(QVector<Zone> zones, std::int64_t nowMs)
{
    QVector<QByteArray> gone;
    for (const Zone& old : rules_.zones()) {
        if (std::none_of(zones.begin(), zones.end(),
                         [&old](const Zone& z) { return z.name == old.name; }))
            gone.append(zonesTopic_ + '/' + old.name.toUtf8());
    }
    QVector<Arming> arming;
    for (const Zone& zone : zones) {
        arming.append(Arming(ArmingSchedule(zone.armed, timezone_)));
        for (int old = 0; old < rules_.zones().size(); ++old) {
            const std::optional<ArmingOverride>& kept = arming_[old].override();
            if (rules_.zones()[old].name == zone.name && kept)
                arming.last().setOverride(kept->armed, kept->sinceMs, kept->untilMs, kept->by);
        }
    }
    rules_.replace(std::move(zones));
    arming_ = std::move(arming);
    armed_.clear();
    for (Arming& a : arming_)
        armed_.append(a.armed(nowMs));
    armedChanged_.fill(false, armed_.size());
    commanded_.fill(false, armed_.size());
    lastEvents_.clear();
    return gone;
}

ArmingAnswer ZoneOutput::command(const ArmingCommand& c, std::int64_t nowMs)
{
    constexpr std::int64_t msPerMinute = 60 * 1000;
    ArmingAnswer answer;
    const QVector<Zone>& all = rules_.zones();
    const auto it =
        std::find_if(all.begin(), all.end(), [&c](const Zone& z) { return z.name == c.zone; });
    if (it == all.end())
        return answer;
    const int zone = int(it - all.begin());
    Arming& arming = arming_[zone];
    if (c.kind == ArmingCommand::Kind::Schedule) {
        arming.clearOverride();
    } else {
        std::optional<std::int64_t> untilMs;
        if (c.minutes)
            untilMs = nowMs + *c.minutes * msPerMinute;
        arming.setOverride(c.kind == ArmingCommand::Kind::Arm, nowMs, untilMs, c.by);
    }
    armed_[zone] = arming.armed(nowMs);
    commanded_[zone] = true;
    answer.found = true;
    answer.armed = armed_[zone];
    answer.override = arming.override();
    return answer;
}

TopicMessage ZoneOutput::zonesMessage() const
{
    return {zonesTopic_, trklib::sited::zones::zonesMessage(site_, rules_.zones())};
}

QVector<QByteArray> ZoneOutput::evaluate(const Picture& picture)
{
    QVector<QByteArray> messages;
    const site::GeoReference* geo = geo_ ? &*geo_ : nullptr;
    lastEvents_ = rules_.evaluate(picture);
    for (int zone = 0; zone < arming_.size(); ++zone) {
        // An override that ran out changes the state even where the
        // schedule goes on as it held.
        const bool overridden = arming_[zone].override().has_value();
        const bool armed = arming_[zone].armed(picture.timeMs);
        armedChanged_[zone] = armed != armed_[zone] || commanded_[zone] ||
                              overridden != arming_[zone].override().has_value();
        armed_[zone] = armed;
        commanded_[zone] = false;
    }
    for (const Event& event : qAsConst(lastEvents_))
        messages.append(eventMessage(site_, rules_.zones()[event.zone], event, geo));
    return messages;
}

QVector<TopicMessage> ZoneOutput::takeCommandedStates()
{
    QVector<TopicMessage> messages;
    for (int zone = 0; zone < commanded_.size(); ++zone) {
        if (commanded_[zone])
            messages.append(stateMessage(zone));
        commanded_[zone] = false;
    }
    return messages;
}

TopicMessage ZoneOutput::stateMessage(int zone) const
{
    const Zone& z = rules_.zones()[zone];
    return {zonesTopic_ + '/' + z.name.toUtf8(),
            zoneStateMessage(z, rules_.state(zone), armed_[zone], arming_[zone].override())};
}

QVector<TopicMessage> ZoneOutput::changedStates() const
{
    QVector<TopicMessage> messages;
    QVector<bool> changed = armedChanged_;
    for (const int zone : rules_.changedZones())
        changed[zone] = true;
    for (int zone = 0; zone < changed.size(); ++zone) {
        if (changed[zone])
            messages.append(stateMessage(zone));
    }
    return messages;
}

QSet<std::int64_t> ZoneOutput::watchedOccupants() const
{
    QSet<std::int64_t> watched;
    for (int i = 0; i < rules_.zones().size(); ++i) {
        if (rules_.zones()[i].watch) {
            for (const std::int64_t id : rules_.state(i).occupants)
                watched.insert(id);
        }
    }
    return watched;
}

QVector<TopicMessage> ZoneOutput::states() const
{
    QVector<TopicMessage> messages;
    for (int zone = 0; zone < rules_.zones().size(); ++zone)
        messages.append(stateMessage(zone));
    return messages;
}

} // namespace trklib::sited::zones
