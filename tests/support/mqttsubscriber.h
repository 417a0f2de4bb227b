#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace trklib::test {

// An MQTT client that subscribes to one topic filter and keeps every
// message it gets, with the time it got it. It reconnects and subscribes
// again by itself when the broker goes away and comes back.
class MqttSubscriber
{
public:
    struct Message
    {
        QByteArray topic;
        QByteArray payload;
        bool retained = false;
        std::chrono::steady_clock::time_point received;
        int qos = 0;
    };

    struct Login
    {
        QString username; // empty: none
        QString password;
        QString caFile; // set: TLS
        // Set: a lasting session of this client id (no clean session) and
        // a subscription at QoS 1, so that the broker keeps messages for it.
        QByteArray clientId;
    };

    MqttSubscriber(quint16 port, const QByteArray& filter, const Login& login = {})
        : filter_(filter)
    {
        mosquitto_lib_init();
        qos_ = login.clientId.isEmpty() ? 0 : 1;
        client_ = mosquitto_new(login.clientId.isEmpty() ? nullptr : login.clientId.constData(),
                                login.clientId.isEmpty(), this);
        if (!login.username.isEmpty())
            mosquitto_username_pw_set(client_, login.username.toUtf8().constData(),
                                      login.password.toUtf8().constData());
        if (!login.caFile.isEmpty())
            mosquitto_tls_set(client_, login.caFile.toLocal8Bit().constData(), nullptr, nullptr,
                              nullptr, nullptr);
        mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_reconnect_delay_set(client_, 1, 1, false);
        mosquitto_connect_callback_set(client_, [](mosquitto* m, void* self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, static_cast<MqttSubscriber*>(self)->filter_,
                                    static_cast<MqttSubscriber*>(self)->qos_);
        });
        mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
            auto& s = *static_cast<MqttSubscriber*>(self);
            const std::lock_guard<std::mutex> lock(s.mutex_);
            ++s.subscriptions_;
            s.changed_.notify_all();
        });
        mosquitto_message_callback_set(
            client_, [](mosquitto*, void* self, const mosquitto_message* m) {
                auto& s = *static_cast<MqttSubscriber*>(self);
                Message message{QByteArray(m->topic),
                                QByteArray(static_cast<const char*>(m->payload), m->payloadlen),
                                m->retain, std::chrono::steady_clock::now(), m->qos};
                const std::lock_guard<std::mutex> lock(s.mutex_);
                s.messages_.append(std::move(message));
                s.changed_.notify_all();
            });
        mosquitto_connect_async(client_, "127.0.0.1", port, 10);
        mosquitto_loop_start(client_);
    }

    ~MqttSubscriber()
    {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
        mosquitto_lib_cleanup();
    }

    MqttSubscriber(const MqttSubscriber&) = delete;
    MqttSubscriber& operator=(const MqttSubscriber&) = delete;

    // Waits until the subscription stands (the broker acknowledged it).
    bool waitSubscribed(int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [this] { return subscriptions_ > 0; });
    }

    // Waits until the messages so far satisfy done.
    bool waitFor(const std::function<bool(const QVector<Message>&)>& done, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return done(messages_); });
    }

    QVector<Message> messages() const
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }

    // The messages of one topic, in arrival order.
    QVector<Message> messagesOn(const QByteArray& topic) const
    {
        QVector<Message> of;
        for (const Message& m : messages()) {
            if (m.topic == topic)
                of.append(m);
        }
        return of;
    }

private:
    QByteArray filter_;
    int qos_ = 0;
    mosquitto* client_ = nullptr;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    QVector<Message> messages_;
    int subscriptions_ = 0;
};

} // namespace trklib::test
