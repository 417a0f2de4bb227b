#pragma once

#include "tools/common/service/brokermessages.h"
#include "tools/common/service/brokeroutage.h"

#include "tools/common/site/siteconfig.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

struct mosquitto;
struct mosquitto_message;

// sited's one connection to the site's broker, as the client
// "<client_id>-site" with the site file's TLS and login (sited's own when
// it has one): it subscribes to every radar's tracks, publishes the
// picture and the status, and leaves {"online": false} on the status topic
// as its last will and when it stops.
namespace trklib::sited::link {

class SiteLink
{
public:
    // Called on the link's own thread for each message of the subscription.
    using Handler = std::function<void(const QByteArray& topic, const QByteArray& payload)>;

    SiteLink(const site::SiteConfig& config, QByteArray subscription, Handler handler);
    ~SiteLink();

    SiteLink(const SiteLink&) = delete;
    SiteLink& operator=(const SiteLink&) = delete;

    // Another subscription beside the constructor's, made with it; before start().
    void alsoSubscribe(QByteArray topic) { moreSubscriptions_.append(std::move(topic)); }

    // Starts the link's thread, which connects, subscribes once connected,
    // and connects again after a loss, waiting 1, 2, 3, 4 and then 5 s
    // between tries. False with why when libmosquitto refuses the settings;
    // a broker out of reach is no error.
    bool start(QString& error);

    // QoS 0, not retained; counted and dropped while there is no connection.
    void publishPicture(const QByteArray& payload);
    // Retained, QoS 1. False while there is no connection.
    bool publishStatus(const QByteArray& payload);

    // An event: QoS 1, not retained, held until the broker acknowledges it,
    // across a lost connection too; false when eventBacklog events are
    // already held, and the event is dropped and counted (and logged once
    // until the broker is back).
    bool publishEvent(const QByteArray& topic, const QByteArray& payload);
    // Retained, QoS 1, now when connected, and again after every
    // connection (a broker that restarted has lost it); a later message on
    // the topic takes its place.
    void keep(const QByteArray& topic, const QByteArray& payload);
    std::uint64_t droppedEvents() const;

    // Publishes the offline status when connected, waits for the broker to
    // take it and every event held until the deadline, disconnects and ends the thread.
    void stop(std::chrono::steady_clock::time_point deadline);

    std::uint64_t unsentPictures() const { return unsentPictures_; }

    // Events held at most while the broker is away: at the rules' rate of a
    // busy site, 100 a second, some 100 s of them.
    static constexpr int eventBacklog = 10000;

private:
    static void onConnect(mosquitto*, void* self, int reasonCode);
    static void onDisconnect(mosquitto*, void* self, int reasonCode);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void onPublish(mosquitto*, void* self, int messageId);
    QString where() const;

    site::BrokerConfig broker_;
    QByteArray clientId_;
    QByteArray subscription_;
    QVector<QByteArray> moreSubscriptions_;
    QByteArray pictureTopic_;
    QByteArray statusTopic_;
    Handler handler_;
    mosquitto* client_ = nullptr;
    bool running_ = false;

    std::atomic<bool> connected_{false};
    std::atomic<std::uint64_t> unsentPictures_{0};
    // The link's thread only (and the caller's before it starts and once it
    // has ended).
    service::BrokerOutage outage_{QStringLiteral("pictures")};

    mutable std::mutex mutex_;
    std::condition_variable acked_;
    int offlineMessageId_ = -1;
    bool offlineAcked_ = false;
    service::EventBacklog events_{eventBacklog};
    bool eventDropLogged_ = false; // in this outage

    std::mutex keptMutex_; // kept_, and connected_ set against it
    std::vector<service::TopicMessage> kept_;
};

} // namespace trklib::sited::link
