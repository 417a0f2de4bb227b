#pragma once

#include "fusion.h"
#include "rules.h"

#include "tools/common/georeference.h"
#include "tools/common/siteconfig.h"

#include <QByteArray>
#include <QVector>

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_set>

// The site's zones at work: the rules run on every picture sited makes,
// their events and the zones' states as the messages sited publishes live
// and writes offline.
namespace trklib::sited {

// A message and where it goes.
struct TopicMessage
{
    QByteArray topic;
    QByteArray payload;
};

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
    // The events of the last evaluate(), in the order of its messages.
    const QVector<Event>& lastEvents() const { return lastEvents_; }
    // The states the last evaluate() changed, each for
    // <prefix>/<site>/zones/<name> (retained).
    QVector<TopicMessage> changedStates() const;
    // Every zone's state as it stands.
    QVector<TopicMessage> states() const;
    const QByteArray& eventsTopic() const { return eventsTopic_; }
    const QVector<Zone>& zones() const { return rules_.zones(); }

private:
    TopicMessage stateMessage(int zone) const;

    QString site_;
    QByteArray zonesTopic_;
    QByteArray eventsTopic_;
    std::optional<site::GeoReference> geo_;
    Rules rules_;
    QVector<Event> lastEvents_;
};

// The events handed to the broker and not yet acknowledged by it, at most
// a capacity of them: libmosquitto keeps each (QoS 1) until the broker has
// it and sends again after a reconnection what the broker has not
// acknowledged, so that events wait while the broker is away. An event
// that would pass the capacity is dropped and counted.
class EventBacklog
{
public:
    explicit EventBacklog(int capacity) : capacity_(capacity) {}

    // Whether one more may be handed over; counts a drop when not.
    bool admit();
    // The message id libmosquitto gave an admitted event.
    void hold(int messageId) { held_.insert(messageId); }
    // An admitted event that libmosquitto refused outright.
    void refused() { ++dropped_; }
    // The broker acknowledged messageId; false when it is not an event's.
    bool acknowledge(int messageId) { return held_.erase(messageId) > 0; }

    int held() const { return int(held_.size()); }
    int capacity() const { return capacity_; }
    std::uint64_t dropped() const { return dropped_; }

private:
    int capacity_;
    std::unordered_set<int> held_;
    std::uint64_t dropped_ = 0;
};

} // namespace trklib::sited
