#pragma once

#include <QByteArray>

#include <cstdint>
#include <unordered_set>

// The messages a service hands to its broker link.
namespace trklib::service {

// A message and where it goes.
struct TopicMessage
{
    QByteArray topic;
    QByteArray payload;
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

} // namespace trklib::service
