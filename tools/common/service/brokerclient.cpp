#include "tools/common/service/brokerclient.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>

namespace trklib::service {

namespace {

// The last will is acknowledged like every status, so that it is kept.
constexpr int qosWill = 1;

// For a client key with a passphrase: none is given, so that OpenSSL does
// not ask on the terminal, and the key fails to load instead.
int noPassphrase(char*, int, int, void*)
{
    return 0;
}

} // namespace

QString errnoText(int error)
{
    QString text = QString::fromLocal8Bit(std::strerror(error));
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

QString brokerResultText(int result, int error)
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

bool setUpBrokerClient(mosquitto* client, const site::BrokerConfig& broker, const QByteArray& willTopic,
                       const QByteArray& willMessage, QString& error)
{
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    int result = mosquitto_will_set(client, willTopic.constData(), willMessage.size(),
                                    willMessage.constData(), qosWill, true);
    if (result == MOSQ_ERR_SUCCESS && !broker.username.isEmpty()) {
        result = mosquitto_username_pw_set(
            client, broker.username.toUtf8().constData(),
            broker.passwordFile.isEmpty() ? nullptr : broker.password.constData());
    }
    if (result != MOSQ_ERR_SUCCESS) {
        error = QStringLiteral("[broker]: %1").arg(brokerResultText(result, errno));
        return false;
    }
    if (broker.caFile.isEmpty())
        return true;
    const QByteArray ca = broker.caFile.toLocal8Bit();
    const QByteArray cert = broker.certFile.toLocal8Bit();
    const QByteArray key = broker.keyFile.toLocal8Bit();
    result = mosquitto_tls_set(client, ca.constData(), nullptr,
                               cert.isEmpty() ? nullptr : cert.constData(),
                               key.isEmpty() ? nullptr : key.constData(), noPassphrase);
    if (result != MOSQ_ERR_SUCCESS) {
        error =
            QStringLiteral("[broker] ca_file: cannot use %1%2: %3")
                .arg(broker.caFile,
                     cert.isEmpty()
                         ? QString()
                         : QStringLiteral(" with %1 and %2").arg(broker.certFile, broker.keyFile),
                     brokerResultText(result, errno));
        return false;
    }
    return true;
}

} // namespace trklib::service
