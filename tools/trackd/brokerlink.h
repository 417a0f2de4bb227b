#pragma once

#include "tools/common/service/brokeroutage.h"
#include "tools/common/site/siteconfig.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

struct mosquitto;

namespace trklib::trackd {

class BrokerLink;

using service::RetrySchedule;

// The network thread of every broker link of the process: one epoll set
// over the socket of each link's client, which reads, writes and keeps
// alive every connection, and connects again after a failure when its wait
// is over. epoll takes descriptors of any number, unlike the select() in
// libmosquitto's own loop, and costs by the sockets that are ready, not by
// those that are watched, so the process serves as many radars as its
// limit of open files allows.
//
// Links publish from other threads: libmosquitto only queues the message,
// and the link, marked pending, wakes this thread through an eventfd to
// send it.
class BrokerNetwork
{
public:
    BrokerNetwork();
    ~BrokerNetwork();

    BrokerNetwork(const BrokerNetwork&) = delete;
    BrokerNetwork& operator=(const BrokerNetwork&) = delete;

    // False when the thread could not start (no descriptors left).
    bool valid() const;
    // Ends the thread; every link must be removed by then.
    void stop();

private:
    friend class BrokerLink;

    void add(BrokerLink* link);
    // Returns once the thread no longer touches the link.
    void remove(BrokerLink* link);
    // From any thread: the link has something for the thread to do.
    void markPending(BrokerLink* link);
    void wake();
    void run();
    void scan(std::chrono::steady_clock::time_point now);
    void watch(BrokerLink* link);
    void unwatch(BrokerLink* link);

    int epollFd_ = -1;
    int wakeFd_ = -1;
    std::mutex mutex_; // held by the thread while it works, not while it waits
    std::vector<BrokerLink*> links_;
    bool linksChanged_ = false; // a link left while the thread waited
    bool quit_ = false;
    std::chrono::steady_clock::time_point scanAt_; // every link's turn
    std::chrono::steady_clock::time_point nextKeepAlive_;
    std::mutex pendingMutex_;
    std::vector<BrokerLink*> pending_;
    std::atomic<bool> wakePending_{false};
    std::thread thread_;
};

// One radar's connection to the broker, as a client of its own
// ("<client_id>-<radar>") with its own last will: the offline status
// ({"online": false} and the radar's place), retained, on the radar's
// status topic.
//
// The network's thread connects it, runs it and reconnects after a
// failure, waiting 1, 2, 3, 4 and then 5 s between tries. Connecting does
// not wait for the network (TLS included); only the broker's host name is
// looked up as a try starts, at once for an address or a name the hosts
// file holds. Publishing from
// other threads only queues a message and wakes that thread: it never
// waits for the network. Track messages published while there is no
// connection are counted and dropped. Each outage is logged when it begins
// and when it ends, with the track messages it cost.
class BrokerLink
{
public:
    BrokerLink(BrokerNetwork& network, const site::BrokerConfig& broker, const QString& radarName,
               QByteArray tracksTopic, QByteArray statusTopic, QByteArray offlineStatus);
    ~BrokerLink();

    BrokerLink(const BrokerLink&) = delete;
    BrokerLink& operator=(const BrokerLink&) = delete;

    // Sets the client up and hands it to the network's thread. False, with
    // why, when libmosquitto refuses the settings (a certificate it cannot
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
    // disconnects and leaves the network (stopping ends). Split in two so
    // that many links wait at once.
    void beginStop();
    void finishStop(std::chrono::steady_clock::time_point deadline);

    std::uint64_t unsentTracks() const { return unsentTracks_; }

private:
    friend class BrokerNetwork;

    static void onConnect(mosquitto*, void* self, int reasonCode);
    static void onPublish(mosquitto*, void* self, int messageId);
    static void onLog(mosquitto*, void* self, int level, const char* text);

    // On the network's thread.
    void service(std::chrono::steady_clock::time_point now);
    void connect(std::chrono::steady_clock::time_point now);
    void handle(std::uint32_t events); // epoll's
    void keepAlive();
    int liveSocket() const; // -1 while there is no connection to serve
    void markStopped();
    void checkResult(int result, int error);
    void ended(int result, int error);
    void noteFailure(const QString& reason, bool answered);
    void queued();
    QString where() const;

    BrokerNetwork& network_;
    site::BrokerConfig broker_;
    QString radar_;
    QByteArray tracksTopic_;
    QByteArray statusTopic_;
    QByteArray offlineStatus_; // the last will, and the status left on leaving
    QByteArray clientId_;
    mosquitto* client_ = nullptr;
    bool inNetwork_ = false;

    std::atomic<bool> connected_{false};
    std::atomic<bool> justConnected_{false};
    std::atomic<bool> queued_{false}; // a message waits for the network's thread
    std::atomic<std::uint64_t> unsentTracks_{0};

    // Between the caller's thread and the network's.
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool stopped_ = false;      // disconnected, or never to connect again
    int offlineMessageId_ = -1; // the offline status awaiting the broker's ack
    bool offlineAcked_ = false;

    // The network's thread only (and the caller's once the link has left it).
    service::BrokerOutage outage_{QStringLiteral("track messages")};
    bool disconnecting_ = false;
    int watchedFd_ = -1;
    std::uint32_t watchedEvents_ = 0;
    bool abandoned_ = false; // the socket's connection failed; the next try replaces it
    QString outageReason_;   // the last logged, while in an outage
    RetrySchedule retries_;
    std::chrono::steady_clock::time_point retryAt_; // the next try, when not connected
    QString refusal_;   // the broker's answer to the last CONNECT, when it refused
    QString lastError_; // libmosquitto's last error message (TLS)
};

} // namespace trklib::trackd
