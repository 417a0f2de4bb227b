#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

#include <optional>

// The SOAP messages sited exchanges with an ONVIF PTZ camera, without any
// network: the request envelopes, the WS-Security header, and parsers of
// the answers. The parsers take untrusted text of any size or shape: they
// match elements by namespace URI and local name (never by prefix), read at
// most maxAnswerBytes, refuse DTDs and deep nesting, and say why they fail.
namespace trklib::sited::cue {

constexpr int maxAnswerBytes = 1 << 20; // bytes: a camera's answer larger than this is refused

namespace onvifns {
constexpr char soap[] = "http://www.w3.org/2003/05/soap-envelope";
constexpr char device[] = "http://www.onvif.org/ver10/device/wsdl";
constexpr char media[] = "http://www.onvif.org/ver10/media/wsdl";
constexpr char ptz[] = "http://www.onvif.org/ver20/ptz/wsdl";
constexpr char schema[] = "http://www.onvif.org/ver10/schema";
} // namespace onvifns

// A pan/tilt/zoom triple in the camera's normalised spaces: pan and tilt
// -1..1 over the camera's ranges, zoom 0 (widest) .. 1 (narrowest). As a
// speed or velocity, fractions of the camera's fastest.
struct PtzVector
{
    double pan = 0.0;
    double tilt = 0.0;
    double zoom = 0.0;
};

// Base64(SHA1(nonce + created + password)), nonce in raw bytes.
QByteArray passwordDigest(const QByteArray& nonce, const QByteArray& created,
                          const QByteArray& password);

// The WS-Security header's text (a UsernameToken with the digest above),
// Created being createdUtc to the millisecond ("2026-01-02T03:04:05.678Z").
// Empty for an empty username: the requests then go without one.
QByteArray securityHeader(const QString& username, const QByteArray& password,
                          const QByteArray& nonce, const QDateTime& createdUtc);

// The requests: whole SOAP 1.2 envelopes, security being securityHeader()'s
// text or empty.
QByteArray getSystemDateAndTimeRequest();
QByteArray getServicesRequest(const QByteArray& security);
QByteArray getCapabilitiesRequest(const QByteArray& security);
QByteArray getProfilesRequest(const QByteArray& security);
QByteArray getConfigurationOptionsRequest(const QByteArray& security,
                                          const QString& ptzConfigurationToken);
QByteArray absoluteMoveRequest(const QByteArray& security, const QString& profileToken,
                               const PtzVector& position,
                               const std::optional<PtzVector>& speed = std::nullopt);
QByteArray continuousMoveRequest(const QByteArray& security, const QString& profileToken,
                                 const PtzVector& velocity);
QByteArray stopRequest(const QByteArray& security, const QString& profileToken);
QByteArray getStatusRequest(const QByteArray& security, const QString& profileToken);

// The SOAP action of a request, for the Content-Type header: its body's
// first element's namespace and name ("http://.../ptz/wsdl/Stop").
QByteArray soapAction(const QByteArray& request);

// The addresses of the services sited uses; empty when not offered.
struct ServiceAddresses
{
    QString device;
    QString media;
    QString ptz;
};

struct Profile
{
    QString token;
    QString name;
    QString ptzConfigurationToken; // empty: the profile has no PTZ configuration
};

struct Range
{
    double min = -1.0;
    double max = 1.0;
};

// The camera's absolute position spaces; the generic ones by default.
struct PtzSpaces
{
    Range pan;
    Range tilt;
    Range zoom{0.0, 1.0};
    bool hasZoom = true;
};

struct PtzStatus
{
    PtzVector position;  // normalised
    bool moving = false; // pan/tilt or zoom MOVING
};

// Each parser: false with a short reason in error when the text is not the
// answer expected (a SOAP fault says so through parseFault instead).
bool parseServices(const QByteArray& xml, ServiceAddresses& out, QString& error);
bool parseCapabilities(const QByteArray& xml, ServiceAddresses& out, QString& error);
bool parseProfiles(const QByteArray& xml, QVector<Profile>& out, QString& error);
bool parseConfigurationOptions(const QByteArray& xml, PtzSpaces& out, QString& error);
bool parseStatus(const QByteArray& xml, PtzStatus& out, QString& error);
bool parseSystemDateAndTime(const QByteArray& xml, QDateTime& utc, QString& error);

// A SOAP fault, as one line: the code's and subcodes' local names and the
// reason ("Sender/NotAuthorized: Sender not authorized"). Nothing when the
// text is no fault.
struct SoapFault
{
    QString line;
    bool notAuthorized = false; // a subcode NotAuthorized (or FailedAuthentication)
};
std::optional<SoapFault> parseFault(const QByteArray& xml);

} // namespace trklib::sited::cue
