#include "tools/sited/zones/zoneoutput.h"

#include "tools/sited/zones/zonemessages.h"
#include "tools/sited/zones/zonesfile.h"

#include <QDateTime>
#include <QTimeZone>

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
      rules_(std::move(zones))
{
    if (config.origin)
        geo_.emplace(*config.origin);
    const QTimeZone timezone(config.timezone);
    const std::int64_t nowMs = QDateTime::currentMSecsSinceEpoch();
    for (const Zone& zone : rules_.zones()) {
        arming_.append(Arming(ArmingSchedule(zone.armed, timezone)));
        armed_.append(arming_.last().armed(nowMs));
    }
    armedChanged_.fill(false, armed_.size());
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
        const bool armed = arming_[zone].armed(picture.timeMs);
        armedChanged_[zone] = armed != armed_[zone];
        armed_[zone] = armed;
    }
    for (const Event& event : qAsConst(lastEvents_))
        messages.append(eventMessage(site_, rules_.zones()[event.zone], event, geo));
    return messages;
}

TopicMessage ZoneOutput::stateMessage(int zone) const
{
    const Zone& z = rules_.zones()[zone];
    return {zonesTopic_ + '/' + z.name.toUtf8(),
            zoneStateMessage(z, rules_.state(zone), armed_[zone])};
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

QVector<TopicMessage> ZoneOutput::states() const
{
    QVector<TopicMessage> messages;
    for (int zone = 0; zone < rules_.zones().size(); ++zone)
        messages.append(stateMessage(zone));
    return messages;
}

} // namespace trklib::sited::zones
