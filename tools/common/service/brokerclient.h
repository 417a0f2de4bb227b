#pragma once

#include "tools/common/site/siteconfig.h"

#include <QByteArray>
#include <QString>

struct mosquitto;

// What every libmosquitto client of the site's services sets up alike: the
// protocol, the last will, the login and TLS from the site file's [broker].
namespace trklib::service {

// Sets client up for broker: MQTT 3.1.1, each message sent at once (no
// Nagle), willMessage retained on willTopic at QoS 1 as the last will, the
// username and password, and TLS with the file's certificates. False with
// a one-line "[broker] ...: why" when libmosquitto refuses them.
bool setUpBrokerClient(mosquitto* client, const site::BrokerConfig& broker, const QByteArray& willTopic,
                       const QByteArray& willMessage, QString& error);

// libmosquitto's text for a result (errno's for MOSQ_ERR_ERRNO), lower case
// and without a full stop, to go inside a line.
QString brokerResultText(int result, int error);

// strerror's text, lower case.
QString errnoText(int error);

} // namespace trklib::service
