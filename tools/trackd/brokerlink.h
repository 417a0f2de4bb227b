#pragma once

#include "siteconfig.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

struct mosquitto;

namespace trklib::trackd {

// One radar's connection to the broker, as a client of its own
// ("<client_id>-<radar>") with its own last will: the offline status
// ({"online": false} and the radar's place), retained, on the radar's
// status topic.
//
// A thread of the link's own connects, runs libmosquitto's network loop and
// reconnects after a failure, waiting 1, 2, 3, 4 and then 5 s between tries.
// Publishing from other threads only queues a message and wakes that
// thread: it never waits for the network. Track messages published while
// there is no connection are counted and dropped. Each outage is logged
// when it begins and when it ends, with the track messages it cost.
class BrokerLink
{
public:
    BrokerLink(const BrokerConfig& broker, const QString& radarName, QByteArray tracksTopic,
               QByteArray statusTopic, QByteArray offlineStatus);
    ~BrokerLink();

    BrokerLink(const BrokerLink&) = delete;
    BrokerLink& operator=(const BrokerLink&) = delete;

    // Sets the client up and starts the link's thread. False, with why,
    // when libmosquitto refuses the settings (a certificate it cannot
    // use); a broker out of reach is no error, the link keeps trying.
    bool start(QString& error);

    // QoS 0, not retained.
    void publishTracks(const QByteArray& payload);
    // Retained, QoS 1. False when there is no connection.
    bool publishStatus(const QByteArray& payload);
    // True once after each successful connection: the status is due then,
    // since a broker that restarted may have lost the retained one.
    bool takeConnected();

    // Leaving: publishes the offline status when connected (stopping
    // starts), then waits until the broker has it or the deadline passes,
    // disconnects and ends the thread (stopping ends). Split in two so that
    // many links wait at once.
    void beginStop();
    void finishStop(std::chrono::steady_clock::time_point deadline);

    std::uint64_t unsentTracks() const { return unsentTracks_; }

private:
    static void onConnect(mosquitto*, void* self, int reasonCode);
    static void onPublish(mosquitto*, void* self, int messageId);
    static void onLog(mosquitto*, void* self, int level, const char* text);

    void run();
    void noteFailure(const QString& reason, bool answered);
    void sleepBeforeRetry();
    QString where() const;

    BrokerConfig broker_;
    QString radar_;
    QByteArray tracksTopic_;
    QByteArray statusTopic_;
    QByteArray offlineStatus_; // the last will, and the status left on leaving
    QByteArray clientId_;
    mosquitto* client_ = nullptr;
    std::thread thread_;

    std::atomic<bool> connected_{false};
    std::atomic<bool> justConnected_{false};
    std::atomic<std::uint64_t> unsentTracks_{0};

    // Between the caller's thread and the link's.
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    int offlineMessageId_ = -1; // the offline status awaiting the broker's ack
    bool offlineAcked_ = false;

    // The link's thread only.
    bool everConnected_ = false;
    bool inOutage_ = false;
    QString outageReason_;
    std::chrono::steady_clock::time_point outageStart_;
    std::uint64_t unsentAtOutageStart_ = 0;
    int failedTries_ = 0;
    QString refusal_;   // the broker's answer to the last CONNECT, when it refused
    QString lastError_; // libmosquitto's last error message (TLS)
};

} // namespace trklib::trackd
