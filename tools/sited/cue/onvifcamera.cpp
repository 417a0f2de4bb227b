#include "tools/sited/cue/onvifcamera.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace trklib::sited::cue {

namespace {

constexpr int nonceBytes = 16; // bytes of each token's nonce
constexpr char timedOutProperty[] = "onvifTimedOut";
constexpr char tooLargeProperty[] = "onvifTooLarge";

double clamped(double value, const Range& range)
{
    return std::clamp(value, range.min, range.max);
}

bool finite(double a, double b, double c)
{
    return std::isfinite(a) && std::isfinite(b) && std::isfinite(c);
}

} // namespace

OnvifCamera::OnvifCamera(const site::CameraEntry& camera, QNetworkAccessManager* network,
                         QObject* parent)
    : QObject(parent), camera_(camera), network_(network)
{
    if (!network_) {
        network_ = new QNetworkAccessManager(this);
    }
}

OnvifCamera::~OnvifCamera() = default;

void OnvifCamera::start()
{
    ++generation_;
    starting_ = true;
    ready_ = false;
    online_ = false;
    motionInFlight_ = false;
    motionWaiting_.reset();
    statusInFlight_ = false;
    services_ = ServiceAddresses();
    services_.device = camera_.address;
    // The clock is asked without a token: devices answer it to anyone, so
    // that a client can make tokens in their time.
    send(Step::Clock, camera_.address, getSystemDateAndTimeRequest());
}

bool OnvifCamera::absoluteMove(double pan, double tilt, double zoom,
                               const std::optional<PtzVector>& speed)
{
    if (!finite(pan, tilt, zoom))
        return false;
    Motion motion;
    motion.kind = Motion::Kind::Absolute;
    motion.vector = PtzVector{clamped(pan, spaces_.pan), clamped(tilt, spaces_.tilt),
                              spaces_.hasZoom ? clamped(zoom, spaces_.zoom) : 0.0};
    if (speed) {
        const Range fraction{0.0, 1.0};
        motion.speed = PtzVector{clamped(speed->pan, fraction), clamped(speed->tilt, fraction),
                                 clamped(speed->zoom, fraction)};
    }
    return queueMotion(motion);
}

bool OnvifCamera::continuousMove(double panVelocity, double tiltVelocity, double zoomVelocity)
{
    if (!finite(panVelocity, tiltVelocity, zoomVelocity))
        return false;
    const Range velocity{-1.0, 1.0};
    Motion motion;
    motion.kind = Motion::Kind::Continuous;
    motion.vector = PtzVector{clamped(panVelocity, velocity), clamped(tiltVelocity, velocity),
                              spaces_.hasZoom ? clamped(zoomVelocity, velocity) : 0.0};
    return queueMotion(motion);
}

bool OnvifCamera::stop()
{
    return queueMotion(Motion());
}

bool OnvifCamera::requestStatus()
{
    if (!ready_ || statusInFlight_)
        return false;
    statusInFlight_ = true;
    send(Step::Status, services_.ptz, getStatusRequest(security(), profile_.token));
    return true;
}

bool OnvifCamera::queueMotion(const Motion& motion)
{
    if (!ready_)
        return false;
    if (motionInFlight_) {
        if (motionWaiting_)
            ++counters_.replaced;
        motionWaiting_ = motion;
        return true;
    }
    sendMotion(motion);
    return true;
}

void OnvifCamera::sendMotion(const Motion& motion)
{
    const QByteArray header = security();
    QByteArray request;
    switch (motion.kind) {
    case Motion::Kind::Absolute:
        request = absoluteMoveRequest(header, profile_.token, motion.vector, motion.speed);
        break;
    case Motion::Kind::Continuous:
        request = continuousMoveRequest(header, profile_.token, motion.vector);
        break;
    case Motion::Kind::Stop:
        request = stopRequest(header, profile_.token);
        break;
    }
    motionInFlight_ = true;
    ++counters_.commandsSent;
    send(Step::Motion, services_.ptz, request);
}

QByteArray OnvifCamera::security() const
{
    if (camera_.username.isEmpty())
        return QByteArray();
    QByteArray nonce(nonceBytes, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(nonce.data()),
                                          nonceBytes / int(sizeof(quint32)));
    const QDateTime created = QDateTime::currentDateTimeUtc().addMSecs(clockOffsetMs_);
    return securityHeader(camera_.username, camera_.password, nonce, created);
}

void OnvifCamera::send(Step step, const QString& address, const QByteArray& request)
{
    QNetworkRequest http{QUrl(address)};
    http.setHeader(QNetworkRequest::ContentTypeHeader,
                   QByteArray("application/soap+xml; charset=utf-8; action=\"") +
                       soapAction(request) + '"');
    QNetworkReply* reply = network_->post(http, request);
    ++counters_.requests;
    const qint64 sentMs = QDateTime::currentMSecsSinceEpoch();
    const int generation = generation_;

    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, reply, [reply] {
        reply->setProperty(timedOutProperty, true);
        reply->abort();
    });
    timer->start(timeoutMs_);
    // An answer larger than any a camera gives is cut off, not buffered.
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > maxAnswerBytes) {
            reply->setProperty(tooLargeProperty, true);
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, step, sentMs, generation] {
        reply->deleteLater();
        if (generation == generation_)
            onAnswer(step, reply, sentMs);
    });
}

OnvifCamera::Answer OnvifCamera::answerOf(QNetworkReply* reply) const
{
    Answer answer;
    if (reply->property(timedOutProperty).toBool()) {
        answer.error = QStringLiteral("no answer from %1 within %2 s")
                           .arg(reply->url().toString())
                           .arg(timeoutMs_ / 1000.0);
        return answer;
    }
    if (reply->property(tooLargeProperty).toBool()) {
        answer.error = QStringLiteral("an answer larger than %1 bytes").arg(maxAnswerBytes);
        return answer;
    }
    const int http = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->read(maxAnswerBytes + 1);
    if (const std::optional<SoapFault> fault = parseFault(body)) {
        answer.fault = true;
        answer.refused = fault->notAuthorized || http == 401;
        answer.error = answer.refused
                           ? QStringLiteral("the device refused the username or "
                                            "password (%1)")
                                 .arg(fault->line)
                           : QStringLiteral("the device answered a fault: %1").arg(fault->line);
        return answer;
    }
    if (http == 401) {
        answer.refused = true;
        answer.error = QStringLiteral("the device refused the username or password (HTTP 401)");
        return answer;
    }
    if (reply->error() != QNetworkReply::NoError || http != 200) {
        answer.error =
            http != 0
                ? QStringLiteral("HTTP %1 from %2").arg(http).arg(reply->url().toString())
                : QStringLiteral("%1 (%2)").arg(reply->errorString(), reply->url().toString());
        return answer;
    }
    answer.ok = true;
    answer.body = body;
    return answer;
}

void OnvifCamera::onAnswer(Step step, QNetworkReply* reply, qint64 sentMs)
{
    const Answer answer = answerOf(reply);
    if (!answer.ok)
        ++counters_.errors;
    if (step == Step::Motion || step == Step::Status)
        commandStep(step, answer, sentMs);
    else
        startStep(step, answer);
}

void OnvifCamera::startStep(Step step, const Answer& answer)
{
    QString error;
    // A refusal or a camera that does not answer ends the start at once.
    if (!answer.ok && !answer.fault) {
        fail(answer.error);
        return;
    }
    if (answer.refused) {
        fail(answer.error);
        return;
    }
    switch (step) {
    case Step::Clock: {
        // Without the device's time (a fault, a strange answer) tokens are
        // made in ours.
        QDateTime deviceUtc;
        if (answer.ok && parseSystemDateAndTime(answer.body, deviceUtc, error))
            clockOffsetMs_ = deviceUtc.toMSecsSinceEpoch() - QDateTime::currentMSecsSinceEpoch();
        send(Step::Services, camera_.address, getServicesRequest(security()));
        return;
    }
    case Step::Services:
        // Older devices refuse GetServices: their GetCapabilities says the same.
        if (!answer.ok || !parseServices(answer.body, services_, error)) {
            send(Step::Capabilities, camera_.address, getCapabilitiesRequest(security()));
            return;
        }
        break;
    case Step::Capabilities:
        if (!answer.ok) {
            fail(answer.error);
            return;
        }
        if (!parseCapabilities(answer.body, services_, error)) {
            fail(QStringLiteral("GetCapabilities: %1").arg(error));
            return;
        }
        break;
    case Step::Profiles: {
        QVector<Profile> profiles;
        if (!answer.ok) {
            fail(answer.error);
            return;
        }
        if (!parseProfiles(answer.body, profiles, error)) {
            fail(QStringLiteral("GetProfiles: %1").arg(error));
            return;
        }
        const auto chosen = std::find_if(profiles.begin(), profiles.end(), [&](const Profile& p) {
            return camera_.profile.isEmpty() ? !p.ptzConfigurationToken.isEmpty()
                                             : p.token == camera_.profile;
        });
        if (chosen == profiles.end()) {
            fail(camera_.profile.isEmpty()
                     ? QStringLiteral("the device has no media profile with PTZ")
                     : QStringLiteral("the device has no media profile %1").arg(camera_.profile));
            return;
        }
        if (chosen->ptzConfigurationToken.isEmpty()) {
            fail(
                QStringLiteral("the media profile %1 has no PTZ configuration").arg(chosen->token));
            return;
        }
        profile_ = *chosen;
        send(Step::Options, services_.ptz,
             getConfigurationOptionsRequest(security(), profile_.ptzConfigurationToken));
        return;
    }
    case Step::Options:
        // A device that does not say its spaces has the generic ones.
        spaces_ = PtzSpaces();
        if (answer.ok && !parseConfigurationOptions(answer.body, spaces_, error))
            spaces_ = PtzSpaces();
        starting_ = false;
        ready_ = true;
        online_ = true;
        emit ready();
        return;
    default:
        return;
    }
    // After the services, by either way: the profiles.
    if (services_.media.isEmpty() || services_.ptz.isEmpty()) {
        fail(QStringLiteral("the device offers no %1 service")
                 .arg(services_.media.isEmpty() ? QStringLiteral("media") : QStringLiteral("PTZ")));
        return;
    }
    send(Step::Profiles, services_.media, getProfilesRequest(security()));
}

void OnvifCamera::commandStep(Step step, const Answer& answer, qint64 sentMs)
{
    QString error;
    if (step == Step::Motion) {
        motionInFlight_ = false;
        if (answer.ok)
            online_ = true;
        else
            fail(answer.error);
        if (motionWaiting_) {
            const Motion next = *motionWaiting_;
            motionWaiting_.reset();
            sendMotion(next);
        }
        return;
    }
    statusInFlight_ = false;
    PtzStatus found;
    if (!answer.ok) {
        fail(answer.error);
        return;
    }
    if (!parseStatus(answer.body, found, error)) {
        ++counters_.errors;
        fail(QStringLiteral("GetStatus: %1").arg(error));
        return;
    }
    online_ = true;
    const qint64 timeMs = sentMs + (QDateTime::currentMSecsSinceEpoch() - sentMs) / 2;
    emit status(found.position.pan, found.position.tilt, found.position.zoom, found.moving, timeMs);
}

void OnvifCamera::fail(const QString& reason)
{
    const QString line = QStringLiteral("camera %1: %2").arg(camera_.name, reason);
    if (starting_) {
        starting_ = false;
        ready_ = false;
        online_ = false;
        emit failed(line);
    } else if (online_) {
        online_ = false;
        emit failed(line);
    }
}

} // namespace trklib::sited::cue
