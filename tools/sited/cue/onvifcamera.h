#pragma once

#include "tools/common/site/siteconfig.h"
#include "tools/sited/cue/onvifsoap.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

// One PTZ camera driven over ONVIF: start() finds its services, its profile
// and its spaces; then moves and status requests in the normalised spaces.
// At most one motion command (absolute, continuous, stop) is in flight: a
// newer one while it is replaces the one waiting, so a slow camera never
// builds a queue and always gets the latest aim. Every request has its own
// timeout. Tokens are created in the device's time, taken from its clock.
namespace trklib::sited::cue {

class OnvifCamera : public QObject
{
    Q_OBJECT
public:
    static constexpr int defaultTimeoutMs = 3000; // milliseconds a request may take

    struct Counters
    {
        std::int64_t commandsSent = 0; // motion commands sent
        std::int64_t replaced = 0;     // motion commands dropped for a newer one
        std::int64_t requests = 0;     // every request sent, start and status included
        std::int64_t errors = 0;       // requests that failed, however
    };

    // Takes the camera's address, profile, username and password. Uses
    // network when given (it must outlive the camera), else its own.
    explicit OnvifCamera(const site::CameraEntry& camera, QNetworkAccessManager* network = nullptr,
                         QObject* parent = nullptr);
    ~OnvifCamera() override;

    void setTimeoutMs(int ms) { timeoutMs_ = ms; }

    // Finds services, profile and spaces afresh: ready() or failed().
    void start();

    // False, doing nothing, before ready().
    bool absoluteMove(double pan, double tilt, double zoom,
                      const std::optional<PtzVector>& speed = std::nullopt);
    bool continuousMove(double panVelocity, double tiltVelocity, double zoomVelocity);
    bool stop();
    // Asks the position: status() when it answers. One at a time; false
    // when one is on its way already or before ready().
    bool requestStatus();

    // A motion command is on its way or waits for the one that is.
    bool motionPending() const { return motionInFlight_ || motionWaiting_.has_value(); }
    // Ready and the last request answered.
    bool online() const { return online_; }
    bool isReady() const { return ready_; }
    const PtzSpaces& spaces() const { return spaces_; }
    const QString& profileToken() const { return profile_.token; }
    const ServiceAddresses& services() const { return services_; }
    const Counters& counters() const { return counters_; }
    // Milliseconds the device's clock is ahead of ours.
    std::int64_t clockOffsetMs() const { return clockOffsetMs_; }

signals:
    void ready();
    // Normalised position and whether it moves, at timeMs (milliseconds
    // since the epoch, our clock: the middle of the request's round trip).
    void status(double pan, double tilt, double zoom, bool moving, qint64 timeMs);
    // A one-line reason ("camera gate: the device refused the password").
    // Once when start() fails; then once each time the camera goes offline.
    void failed(const QString& line);

private:
    enum class Step
    {
        Clock,
        Services,
        Capabilities,
        Profiles,
        Options,
        Motion,
        Status
    };
    // A motion command, built when it is sent so that its token is fresh.
    struct Motion
    {
        enum class Kind
        {
            Absolute,
            Continuous,
            Stop
        } kind = Kind::Stop;
        PtzVector vector; // the position, or the velocity
        std::optional<PtzVector> speed;
    };
    struct Answer
    {
        bool ok = false; // HTTP 200 with a body
        QByteArray body;
        QString error;        // when not ok, one line
        bool fault = false;   // the body is a SOAP fault
        bool refused = false; // the device refused the username or password
    };

    QByteArray security() const;
    void send(Step step, const QString& address, const QByteArray& request);
    Answer answerOf(QNetworkReply* reply) const;
    void onAnswer(Step step, QNetworkReply* reply, qint64 sentMs);
    void startStep(Step step, const Answer& answer);
    void commandStep(Step step, const Answer& answer, qint64 sentMs);
    bool queueMotion(const Motion& motion);
    void sendMotion(const Motion& motion);
    void fail(const QString& reason);

    site::CameraEntry camera_;
    QNetworkAccessManager* network_ = nullptr;
    int timeoutMs_ = defaultTimeoutMs;

    int generation_ = 0; // answers to requests of an earlier start() are ignored
    bool starting_ = false;
    bool ready_ = false;
    bool online_ = false;
    std::int64_t clockOffsetMs_ = 0;
    ServiceAddresses services_;
    Profile profile_;
    PtzSpaces spaces_;

    bool motionInFlight_ = false;
    std::optional<Motion> motionWaiting_; // to send when the one in flight ends
    bool statusInFlight_ = false;
    Counters counters_;
};

} // namespace trklib::sited::cue
