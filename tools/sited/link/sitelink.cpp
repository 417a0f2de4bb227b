#include "tools/sited/link/sitelink.h"

#include "tools/sited/link/sitestatus.h"

#include "tools/common/service/brokerclient.h"
#include "tools/common/service/eventlog.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>

namespace trklib::sited::link {

namespace {

using Clock = std::chrono::steady_clock;
using service::brokerKeepAliveS;
using service::logEvent;
using service::Priority;
using service::RetrySchedule;

constexpr int qosPicture = 0;
constexpr int qosTracks = 0;
constexpr int qosStatus = 1; // acknowledged, so that stopping can wait for it
constexpr int qosEvent = 1;  // kept by libmosquitto until the broker has it
constexpr int qosKept = 1;

} // namespace

SiteLink::SiteLink(const site::SiteConfig& config, QByteArray subscription, Handler handler)
    : broker_(site::sitedBroker(config.broker)),
      clientId_(QStringLiteral("%1-site").arg(config.broker.clientId).toUtf8()),
      subscription_(std::move(subscription)),
      pictureTopic_(QStringLiteral("%1/%2/site/tracks").arg(config.prefix, config.name).toUtf8()),
      statusTopic_(QStringLiteral("%1/%2/site/status").arg(config.prefix, config.name).toUtf8()),
      handler_(std::move(handler))
{}

SiteLink::~SiteLink()
{
    if (running_)
        stop(Clock::now());
    if (client_)
        mosquitto_destroy(client_);
}

QString SiteLink::where() const
{
    return service::brokerAddress(broker_);
}

bool SiteLink::start(QString& error)
{
    client_ = mosquitto_new(clientId_.constData(), true, this);
    if (!client_) {
        error = QStringLiteral("cannot make a broker client: %1").arg(service::errnoText(errno));
        return false;
    }
    if (!service::setUpBrokerClient(client_, broker_, statusTopic_, siteOfflineMessage(), error))
        return false;
    // libmosquitto's own waits between tries, linear: RetrySchedule's.
    mosquitto_reconnect_delay_set(client_, unsigned(RetrySchedule::first.count()),
                                  unsigned(RetrySchedule::longest.count()), false);
    mosquitto_connect_callback_set(client_, onConnect);
    mosquitto_disconnect_callback_set(client_, onDisconnect);
    mosquitto_message_callback_set(client_, onMessage);
    mosquitto_publish_callback_set(client_, onPublish);
    // A broker out of reach now is tried again by the thread.
    const int result = mosquitto_connect_async(client_, broker_.host.toUtf8().constData(),
                                               broker_.port, brokerKeepAliveS);
    if (result != MOSQ_ERR_SUCCESS) {
        outage_.begin();
        logEvent(Priority::Warning,
                 QStringLiteral("cannot connect to the broker %1: %2; trying again every %3 s")
                     .arg(where(), service::brokerResultText(result, errno))
                     .arg(unsigned(RetrySchedule::longest.count())));
    }
    const int loop = mosquitto_loop_start(client_);
    if (loop != MOSQ_ERR_SUCCESS) {
        error = QStringLiteral("cannot start the broker connection: %1")
                    .arg(service::brokerResultText(loop, errno));
        return false;
    }
    running_ = true;
    return true;
}

void SiteLink::publishPicture(const QByteArray& payload)
{
    if (!connected_ ||
        mosquitto_publish(client_, nullptr, pictureTopic_.constData(), payload.size(),
                          payload.constData(), qosPicture, false) != MOSQ_ERR_SUCCESS)
        ++unsentPictures_;
}

bool SiteLink::publishStatus(const QByteArray& payload)
{
    return connected_ &&
           mosquitto_publish(client_, nullptr, statusTopic_.constData(), payload.size(),
                             payload.constData(), qosStatus, true) == MOSQ_ERR_SUCCESS;
}

bool SiteLink::publishEvent(const QByteArray& topic, const QByteArray& payload)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!events_.admit()) {
        if (!eventDropLogged_)
            logEvent(Priority::Warning,
                     QStringLiteral("%1 events wait for the broker %2; later ones are dropped "
                                    "and counted until it takes some")
                         .arg(events_.capacity())
                         .arg(where()));
        eventDropLogged_ = true;
        return false;
    }
    // Without a connection libmosquitto queues the message all the same
    // and sends it once connected.
    int messageId = 0;
    const int result = mosquitto_publish(client_, &messageId, topic.constData(), payload.size(),
                                         payload.constData(), qosEvent, false);
    if (result != MOSQ_ERR_SUCCESS && result != MOSQ_ERR_NO_CONN) {
        events_.refused();
        return false;
    }
    events_.hold(messageId);
    return true;
}

std::uint64_t SiteLink::droppedEvents() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return events_.dropped();
}

void SiteLink::keep(const QByteArray& topic, const QByteArray& payload)
{
    const std::lock_guard<std::mutex> lock(keptMutex_);
    auto kept = std::find_if(kept_.begin(), kept_.end(),
                             [&topic](const service::TopicMessage& m) { return m.topic == topic; });
    if (kept == kept_.end())
        kept = kept_.insert(kept_.end(), service::TopicMessage{topic, payload});
    else
        kept->payload = payload;
    if (connected_)
        mosquitto_publish(client_, nullptr, topic.constData(), payload.size(), payload.constData(),
                          qosKept, true);
}

void SiteLink::stop(Clock::time_point deadline)
{
    if (!running_)
        return;
    running_ = false;
    const QByteArray offline = siteOfflineMessage();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        offlineAcked_ =
            !connected_ ||
            mosquitto_publish(client_, &offlineMessageId_, statusTopic_.constData(), offline.size(),
                              offline.constData(), qosStatus, true) != MOSQ_ERR_SUCCESS;
        acked_.wait_until(lock, deadline,
                          [this] { return offlineAcked_ && (events_.held() == 0 || !connected_); });
        if (events_.held() > 0)
            logEvent(Priority::Warning,
                     QStringLiteral("stopping with %1 events the broker %2 has not taken")
                         .arg(events_.held())
                         .arg(where()));
    }
    // A DISCONNECT: the broker drops the will, the status stays offline.
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    if (outage_.inOutage())
        logEvent(Priority::Warning,
                 QStringLiteral("stopping without the broker %1; %2 pictures could not be sent "
                                "while it was away")
                     .arg(where())
                     .arg(unsentPictures_));
}

void SiteLink::onConnect(mosquitto* client, void* self, int reasonCode)
{
    auto& link = *static_cast<SiteLink*>(self);
    if (reasonCode != 0) {
        link.outage_.begin();
        logEvent(Priority::Warning,
                 QStringLiteral("the broker %1 refused sited: %2")
                     .arg(link.where(), QString::fromUtf8(mosquitto_connack_string(reasonCode))));
        return;
    }
    for (const QByteArray& topic :
         QVector<QByteArray>{link.subscription_} + link.moreSubscriptions_) {
        const int result = mosquitto_subscribe(client, nullptr, topic.constData(), qosTracks);
        if (result != MOSQ_ERR_SUCCESS)
            logEvent(Priority::Error,
                     QStringLiteral("cannot subscribe to %1: %2")
                         .arg(QString::fromUtf8(topic), service::brokerResultText(result, errno)));
    }
    const service::BrokerOutage::Ended ended = link.outage_.connected();
    if (ended.kind == service::BrokerOutage::Ended::Kind::Outage)
        logEvent(Priority::Info, QStringLiteral("connected to the broker %1 again after %2 s")
                                     .arg(link.where())
                                     .arg(ended.seconds, 0, 'f', 1));
    else if (ended.kind == service::BrokerOutage::Ended::Kind::First)
        logEvent(Priority::Info,
                 QStringLiteral("connected to the broker %1 as %2, subscribed to %3")
                     .arg(link.where(), QString::fromUtf8(link.clientId_),
                          QString::fromUtf8(link.subscription_)));
    {
        const std::lock_guard<std::mutex> lock(link.mutex_);
        link.eventDropLogged_ = false;
    }
    const std::lock_guard<std::mutex> lock(link.keptMutex_);
    link.connected_ = true;
    for (const service::TopicMessage& m : link.kept_)
        mosquitto_publish(client, nullptr, m.topic.constData(), m.payload.size(),
                          m.payload.constData(), qosKept, true);
}

void SiteLink::onDisconnect(mosquitto*, void* self, int reasonCode)
{
    auto& link = *static_cast<SiteLink*>(self);
    link.connected_ = false;
    if (reasonCode == 0 || !link.outage_.begin())
        return; // asked for, or already said
    const QString what = link.outage_.everConnected()
                             ? QStringLiteral("lost the broker %1").arg(link.where())
                             : QStringLiteral("cannot connect to the broker %1").arg(link.where());
    logEvent(Priority::Warning, link.outage_.begunLine(QStringLiteral("%1 (%2)").arg(
                                    what, service::brokerResultText(reasonCode, errno))));
}

void SiteLink::onMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto& link = *static_cast<SiteLink*>(self);
    link.handler_(QByteArray(message->topic),
                  QByteArray(static_cast<const char*>(message->payload), message->payloadlen));
}

void SiteLink::onPublish(mosquitto*, void* self, int messageId)
{
    auto& link = *static_cast<SiteLink*>(self);
    {
        const std::lock_guard<std::mutex> lock(link.mutex_);
        if (messageId == link.offlineMessageId_)
            link.offlineAcked_ = true;
        else if (!link.events_.acknowledge(messageId))
            return;
    }
    link.acked_.notify_all();
}

} // namespace trklib::sited::link
