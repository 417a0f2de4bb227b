#include "brokerlink.h"

#include "eventlog.h"
#include "messages.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace trklib::trackd {

namespace {

using Clock = std::chrono::steady_clock;

// Seconds between keep-alive exchanges: a broker that stops answering is
// given up after one and a half of them.
constexpr int keepAliveS = 10;
// How long one pass of the network loop waits when nothing happens; a
// publish wakes it at once.
constexpr int loopWaitMs = 1000;
// Waits between tries to connect: 1, 2, 3, 4, then 5 s.
constexpr std::chrono::seconds firstRetry{1};
constexpr std::chrono::seconds longestRetry{5};

constexpr int qosTracks = 0;
constexpr int qosStatus = 1; // acknowledged, so that leaving can wait for it

// For a client key with a passphrase: none is given, so that OpenSSL does
// not ask on the terminal, and the key fails to load instead.
int noPassphrase(char*, int, int, void*)
{
    return 0;
}

QString errnoText(int error)
{
    QString text = QString::fromLocal8Bit(std::strerror(error));
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

// libmosquitto's text for a result, errno's for MOSQ_ERR_ERRNO.
QString resultText(int result, int error)
{
    if (result == MOSQ_ERR_ERRNO)
        return errnoText(error);
    QString text = QString::fromUtf8(mosquitto_strerror(result));
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

} // namespace

BrokerLink::BrokerLink(const BrokerConfig& broker, const QString& radarName, QByteArray tracksTopic,
                       QByteArray statusTopic, QByteArray offlineStatus)
    : broker_(broker), radar_(radarName), tracksTopic_(std::move(tracksTopic)),
      statusTopic_(std::move(statusTopic)), offlineStatus_(std::move(offlineStatus)),
      clientId_(QStringLiteral("%1-%2").arg(broker.clientId, radarName).toUtf8())
{}

BrokerLink::~BrokerLink()
{
    if (thread_.joinable())
        finishStop(Clock::now());
    if (client_)
        mosquitto_destroy(client_);
}

QString BrokerLink::where() const
{
    return QStringLiteral("%1:%2").arg(broker_.host).arg(broker_.port);
}

bool BrokerLink::start(QString& error)
{
    client_ = mosquitto_new(clientId_.constData(), true, this);
    if (!client_) {
        error = QStringLiteral("cannot make a broker client: %1").arg(errnoText(errno));
        return false;
    }
    // Our own thread runs the network loop; publishing from others is safe.
    mosquitto_threaded_set(client_, true);
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // Each track message goes out at once, not held back to fill a segment.
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    int result = mosquitto_will_set(client_, statusTopic_.constData(), offlineStatus_.size(),
                                    offlineStatus_.constData(), qosStatus, true);
    if (result == MOSQ_ERR_SUCCESS && !broker_.username.isEmpty()) {
        result = mosquitto_username_pw_set(
            client_, broker_.username.toUtf8().constData(),
            broker_.passwordFile.isEmpty() ? nullptr : broker_.password.constData());
    }
    if (result != MOSQ_ERR_SUCCESS) {
        error = QStringLiteral("[broker]: %1").arg(resultText(result, errno));
        return false;
    }
    if (!broker_.caFile.isEmpty()) {
        const QByteArray ca = broker_.caFile.toLocal8Bit();
        const QByteArray cert = broker_.certFile.toLocal8Bit();
        const QByteArray key = broker_.keyFile.toLocal8Bit();
        result = mosquitto_tls_set(client_, ca.constData(), nullptr,
                                   cert.isEmpty() ? nullptr : cert.constData(),
                                   key.isEmpty() ? nullptr : key.constData(), noPassphrase);
        if (result != MOSQ_ERR_SUCCESS) {
            error = QStringLiteral("[broker] ca_file: cannot use %1%2: %3")
                        .arg(broker_.caFile,
                             cert.isEmpty() ? QString()
                                            : QStringLiteral(" with %1 and %2")
                                                  .arg(broker_.certFile, broker_.keyFile),
                             resultText(result, errno));
            return false;
        }
    }
    mosquitto_connect_callback_set(client_, onConnect);
    mosquitto_publish_callback_set(client_, onPublish);
    mosquitto_log_callback_set(client_, onLog);
    thread_ = std::thread([this] { run(); });
    return true;
}

void BrokerLink::publishTracks(const QByteArray& payload)
{
    if (!connected_ || mosquitto_publish(client_, nullptr, tracksTopic_.constData(), payload.size(),
                                         payload.constData(), qosTracks, false) != MOSQ_ERR_SUCCESS)
        ++unsentTracks_;
}

bool BrokerLink::publishStatus(const QByteArray& payload)
{
    return connected_ &&
           mosquitto_publish(client_, nullptr, statusTopic_.constData(), payload.size(),
                             payload.constData(), qosStatus, true) == MOSQ_ERR_SUCCESS;
}

bool BrokerLink::takeConnected()
{
    return justConnected_.exchange(false);
}

void BrokerLink::beginStop()
{
    // Held across the publish, so that the ack cannot be looked for before
    // its message id is known.
    const std::lock_guard<std::mutex> lock(mutex_);
    offlineAcked_ =
        !connected_ || mosquitto_publish(client_, &offlineMessageId_, statusTopic_.constData(),
                                         offlineStatus_.size(), offlineStatus_.constData(),
                                         qosStatus, true) != MOSQ_ERR_SUCCESS;
}

void BrokerLink::finishStop(Clock::time_point deadline)
{
    {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_until(lock, deadline, [this] { return offlineAcked_; });
        stopping_ = true;
    }
    wake_.notify_all();
    // Wakes the network loop, which sends the DISCONNECT (so that the
    // broker drops the will) and returns.
    mosquitto_disconnect(client_);
    if (thread_.joinable())
        thread_.join();
    if (inOutage_)
        logEvent(Priority::Warning,
                 QStringLiteral("radar %1: stopping without the broker %2; %3 track messages "
                                "could not be sent since it went away")
                     .arg(radar_, where())
                     .arg(unsentTracks_ - unsentAtOutageStart_));
}

void BrokerLink::run()
{
    for (;;) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
            refusal_.clear();
            lastError_.clear();
        }
        int result = mosquitto_connect_async(client_, broker_.host.toUtf8().constData(),
                                             broker_.port, keepAliveS);
        int error = errno;
        while (result == MOSQ_ERR_SUCCESS) {
            result = mosquitto_loop(client_, loopWaitMs, 1);
            error = errno;
        }
        const bool wasConnected = connected_.exchange(false);
        QString reason;
        bool answered = false; // the broker was reached, and turned us away
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
            answered = !refusal_.isEmpty() || !lastError_.isEmpty();
            reason = !refusal_.isEmpty()     ? QStringLiteral("refused: %1").arg(refusal_)
                     : !lastError_.isEmpty() ? lastError_
                                             : resultText(result, error);
        }
        if (wasConnected)
            failedTries_ = 0;
        noteFailure(
            wasConnected
                ? QStringLiteral("lost the broker %1 (%2)").arg(where(), reason)
                : QStringLiteral("cannot connect to the broker %1: %2").arg(where(), reason),
            answered);
        sleepBeforeRetry();
    }
}

void BrokerLink::noteFailure(const QString& reason, bool answered)
{
    // An outage is logged once; again only when a broker turns us away for
    // a new reason (it came back with other credentials, say), since that
    // is what an operator then has to fix.
    if (inOutage_ && (!answered || reason == outageReason_))
        return;
    if (!inOutage_) {
        inOutage_ = true;
        outageStart_ = Clock::now();
        unsentAtOutageStart_ = unsentTracks_;
    }
    outageReason_ = reason;
    logEvent(Priority::Warning,
             QStringLiteral("radar %1: %2; track messages are counted and dropped until it is "
                            "back, with at most %3 s between tries")
                 .arg(radar_, reason)
                 .arg(longestRetry.count()));
}

void BrokerLink::sleepBeforeRetry()
{
    const std::chrono::seconds wait =
        std::min(firstRetry * (std::min(failedTries_, 4) + 1), std::chrono::seconds(longestRetry));
    ++failedTries_;
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, wait, [this] { return stopping_; });
}

void BrokerLink::onConnect(mosquitto*, void* self, int reasonCode)
{
    auto& link = *static_cast<BrokerLink*>(self);
    if (reasonCode != 0) {
        const std::lock_guard<std::mutex> lock(link.mutex_);
        link.refusal_ = QString::fromUtf8(mosquitto_connack_string(reasonCode));
        if (link.refusal_.startsWith(QLatin1String("Connection Refused: ")))
            link.refusal_ = link.refusal_.mid(20);
        if (link.refusal_.endsWith(QLatin1Char('.')))
            link.refusal_.chop(1);
        return;
    }
    link.failedTries_ = 0;
    if (link.inOutage_) {
        const double seconds =
            std::chrono::duration<double>(Clock::now() - link.outageStart_).count();
        logEvent(Priority::Info,
                 QStringLiteral("radar %1: connected to the broker %2 again after %3 s; %4 track "
                                "messages could not be sent meanwhile")
                     .arg(link.radar_, link.where())
                     .arg(seconds, 0, 'f', 1)
                     .arg(link.unsentTracks_ - link.unsentAtOutageStart_));
        link.inOutage_ = false;
    } else if (!link.everConnected_) {
        logEvent(Priority::Info,
                 QStringLiteral("radar %1: connected to the broker %2 as %3")
                     .arg(link.radar_, link.where(), QString::fromUtf8(link.clientId_)));
    }
    link.everConnected_ = true;
    link.connected_ = true;
    link.justConnected_ = true;
}

void BrokerLink::onPublish(mosquitto*, void* self, int messageId)
{
    auto& link = *static_cast<BrokerLink*>(self);
    {
        const std::lock_guard<std::mutex> lock(link.mutex_);
        if (messageId != link.offlineMessageId_)
            return;
        link.offlineAcked_ = true;
    }
    link.wake_.notify_all();
}

// libmosquitto's errors (a certificate that fails, say) name the cause of
// a failed connection better than its result does.
void BrokerLink::onLog(mosquitto*, void* self, int level, const char* text)
{
    if (!(level & MOSQ_LOG_ERR))
        return;
    auto& link = *static_cast<BrokerLink*>(self);
    const std::lock_guard<std::mutex> lock(link.mutex_);
    link.lastError_ = QString::fromUtf8(text);
}

} // namespace trklib::trackd
