#pragma once

#include "tools/sited/fusion/picture.h"
#include "tools/sited/zones/rules.h"
#include "tools/sited/zones/schedule.h"
#include "tools/sited/zones/zonemailbox.h"

#include "tools/common/service/brokermessages.h"
#include "tools/common/site/georeference.h"
#include "tools/common/site/siteconfig.h"

#include <QByteArray>
#include <QSet>
#include <QTimeZone>
#include <QVector>

#include <cstdint>
#include <memory>
#include <optional>

// The site's zones at work: the rules run on every picture sited makes,
// their events and the zones' states as the messages sited publishes live
// and writes offline.
namespace trklib::sited::zones {

using service::TopicMessage;

class ZoneOutput
{
public:
    // The zones of the site file's [zones] file: none (and true) when it
    // names none; false with one line ("site.conf: [zones] file: zones.geojson:
    // feature 3 (gate): ...") when the file cannot be read or is refused.
    static bool load(const QString& sitePath, const site::SiteConfig& config,
                     std::unique_ptr<ZoneOutput>& zones, QString& error);

    ZoneOutput(const site::SiteConfig& config, QVector<Zone> zones);

    // The zones, for <prefix>/<site>/zones (retained).
    TopicMessage zonesMessage() const;
    // The event messages, for <prefix>/<site>/events, in the order raised.
    QVector<QByteArray> evaluate(const Picture& picture);
    // New zones from the next picture on (Rules::replace()), each zone's
    // override kept by its name; nowMs arms them. The topics of the states
    // of the zones that are gone, for their retained messages to be cleared.
    QVector<QByteArray> replace(QVector<Zone> zones, std::int64_t nowMs);
    // An operator's arming at nowMs; the zone's state is among the next
    // evaluate()'s changed ones.
    ArmingAnswer command(const ArmingCommand& command, std::int64_t nowMs);
    // The states of the zones commanded since, now rather than at the next
    // evaluate(), which then leaves them out.
    QVector<TopicMessage> takeCommandedStates();
    // Whether a zone is armed by the last evaluate()'s picture (before the
    // first, by the clock at the start), and its arming for an override,
    // which the next evaluate() takes into the zone's state.
    bool armed(int zone) const { return armed_[zone]; }
    Arming& arming(int zone) { return arming_[zone]; }
    // The events of the last evaluate(), in the order of its messages.
    const QVector<Event>& lastEvents() const { return lastEvents_; }
    // The states the last evaluate() changed (armed or not, an override too), each for
    // <prefix>/<site>/zones/<name> (retained).
    QVector<TopicMessage> changedStates() const;
    // Every zone's state as it stands.
    QVector<TopicMessage> states() const;
    const QByteArray& eventsTopic() const { return eventsTopic_; }
    const QVector<Zone>& zones() const { return rules_.zones(); }
    // The objects in the zones marked for watching, by the last evaluate().
    QSet<std::int64_t> watchedOccupants() const;

private:
    TopicMessage stateMessage(int zone) const;

    QString site_;
    QByteArray zonesTopic_;
    QByteArray eventsTopic_;
    std::optional<site::GeoReference> geo_;
    Rules rules_;
    QVector<Event> lastEvents_;
    QTimeZone timezone_;
    QVector<Arming> arming_;
    QVector<bool> armed_;
    QVector<bool> armedChanged_;
    QVector<bool> commanded_; // an operator's command since the last evaluate()
};

} // namespace trklib::sited::zones
