#pragma once

#include "tools/common/site/siteconfig.h"

#include <QString>

#include <chrono>
#include <cstdint>

// What the broker links of trackd and sited keep alike about their
// connection: how often it is kept alive, how long they wait between tries
// to connect, and the state of an outage for their log.
namespace trklib::service {

// Seconds between keep-alive exchanges: a broker that stops answering is
// given up after one and a half of them.
constexpr int brokerKeepAliveS = 10;

// The waits between tries to connect: 1, 2, 3, 4, then 5 s after the
// first, second, ... try in a row that failed; a connection made starts
// over.
class RetrySchedule
{
public:
    static constexpr std::chrono::seconds first{1};
    static constexpr std::chrono::seconds longest{5};

    // One more try failed: the wait before the next.
    std::chrono::seconds failed();
    void connected() { failedTries_ = 0; }

private:
    int failedTries_ = 0; // in a row, counted up to where the wait stops growing
};

// The broker's host and port, as the links' log lines name it.
QString brokerAddress(const site::BrokerConfig& broker);

// One broker connection's outages: whether it was ever connected, whether
// an outage is under way, since when and how many messages were left
// unsent when it began. Kept by the thread that runs the connection; an
// outage begins with the first failure (a try that failed, a connection
// lost or refused) and ends with the next connection made.
class BrokerOutage
{
public:
    using Clock = std::chrono::steady_clock;

    // dropped: what the link counts and drops while the broker is away
    // ("track messages", "pictures").
    explicit BrokerOutage(QString dropped) : dropped_(std::move(dropped)) {}

    bool inOutage() const { return inOutage_; }
    bool everConnected() const { return everConnected_; }

    // A failure, with unsent messages counted so far: true when it begins
    // an outage, false during one (which it leaves as it was).
    bool begin(std::uint64_t unsent = 0);

    // What a connection made ended.
    struct Ended
    {
        enum class Kind
        {
            First,  // the first connection, with no outage before it
            Outage, // an outage, of seconds, which left unsent messages unsent
            Nothing // a connection that ended as it was asked to
        };
        Kind kind = Kind::Nothing;
        double seconds = 0;
        std::uint64_t unsent = 0;
    };
    // A connection made, with unsent messages counted so far.
    Ended connected(std::uint64_t unsent = 0);

    // Messages left unsent since the outage under way began, of unsent
    // counted so far.
    std::uint64_t unsentSince(std::uint64_t unsent) const { return unsent - unsentAtStart_; }

    // The line that says an outage began: what happened, then what is
    // dropped until the broker is back and the longest wait between tries.
    QString begunLine(const QString& what) const;

private:
    QString dropped_;
    bool everConnected_ = false;
    bool inOutage_ = false;
    Clock::time_point start_;
    std::uint64_t unsentAtStart_ = 0;
};

} // namespace trklib::service
