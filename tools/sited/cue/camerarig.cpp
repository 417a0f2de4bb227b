#include "tools/sited/cue/camerarig.h"

#include "tools/sited/cue/onvifcamera.h"

#include <QNetworkAccessManager>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <mutex>

namespace trklib::sited::cue {

namespace {

// A camera as the rig's thread keeps it.
struct Slot
{
    OnvifCamera* camera = nullptr;
    std::optional<Normalised> wanted; // the latest move made before it was ready
    int retryMs = CameraRig::firstRetryMs;
    QString logged; // the last failure said, empty after it came back
};

} // namespace

struct CameraRig::Private
{
    class Port : public PtzPort
    {
    public:
        Port(Private* rig, int camera) : rig_(rig), camera_(camera) {}
        void absoluteMove(double pan, double tilt, double zoom) override
        {
            QMetaObject::invokeMethod(
                rig_->context,
                [rig = rig_, i = camera_, pan, tilt, zoom] {
                    rig->move(i, {pan, tilt, zoom});
                },
                Qt::QueuedConnection);
        }

    private:
        Private* rig_;
        int camera_;
    };

    QVector<site::CameraEntry> entries;
    Log log;
    QThread thread;
    QObject* context = nullptr; // lives in the thread; owns what the thread uses
    QVector<Slot> held;         // by camera, the thread's alone
    QVector<std::shared_ptr<Port>> ports;

    mutable std::mutex mutex;
    QVector<CameraLive> live;

    // On the thread from here on.
    void setUp()
    {
        auto* network = new QNetworkAccessManager(context);
        held.resize(entries.size());
        for (int i = 0; i < entries.size(); ++i) {
            auto* camera = new OnvifCamera(entries[i], network, context);
            held[i].camera = camera;
            QObject::connect(camera, &OnvifCamera::ready, context, [this, i] { ready(i); });
            QObject::connect(camera, &OnvifCamera::failed, context,
                             [this, i](const QString& line) { failed(i, line); });
            QObject::connect(camera, &OnvifCamera::status, context,
                             [this, i](double pan, double tilt, double zoom, bool, qint64 timeMs) {
                                 positioned(i, {pan, tilt, zoom}, timeMs);
                             });
            camera->start();
        }
        auto* poll = new QTimer(context);
        QObject::connect(poll, &QTimer::timeout, context, [this] { askPositions(); });
        poll->start(statusPeriodMs);
    }

    void move(int i, const Normalised& to)
    {
        Slot& s = held[i];
        if (!s.camera->isReady()) {
            s.wanted = to;
            return;
        }
        s.camera->absoluteMove(to.pan, to.tilt, to.zoom);
        copyCounters(i);
    }

    void ready(int i)
    {
        Slot& s = held[i];
        s.retryMs = firstRetryMs;
        s.logged.clear();
        if (log)
            log(false, QStringLiteral("camera %1: online, profile %2")
                           .arg(entries[i].name, s.camera->profileToken()));
        setOnline(i, true, QString());
        if (s.wanted) {
            s.camera->absoluteMove(s.wanted->pan, s.wanted->tilt, s.wanted->zoom);
            s.wanted.reset();
        }
        s.camera->requestStatus();
    }

    void failed(int i, const QString& line)
    {
        Slot& s = held[i];
        if (line != s.logged && log)
            log(true, line);
        s.logged = line;
        setOnline(i, false, line);
        if (s.camera->isReady())
            return; // still set up: the next request that is answered brings it back
        QTimer::singleShot(s.retryMs, context, [this, i] { held[i].camera->start(); });
        s.retryMs = std::min(2 * s.retryMs, longestRetryMs);
    }

    void positioned(int i, const Normalised& at, qint64 timeMs)
    {
        Slot& s = held[i];
        if (!s.logged.isEmpty()) {
            s.logged.clear();
            if (log)
                log(false, QStringLiteral("camera %1: answers again").arg(entries[i].name));
        }
        const std::lock_guard<std::mutex> lock(mutex);
        CameraLive& l = live[i];
        l.online = true;
        l.problem.clear();
        l.position = at;
        l.positionMs = timeMs;
    }

    void askPositions()
    {
        for (int i = 0; i < held.size(); ++i) {
            if (held[i].camera->isReady())
                held[i].camera->requestStatus();
            copyCounters(i);
        }
    }

    void setOnline(int i, bool online, const QString& problem)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        live[i].online = online;
        live[i].problem = problem;
        copyCountersLocked(i);
    }

    void copyCounters(int i)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        copyCountersLocked(i);
    }

    void copyCountersLocked(int i)
    {
        const OnvifCamera::Counters& c = held[i].camera->counters();
        live[i].commands = c.commandsSent;
        live[i].errors = c.errors;
    }
};

CameraRig::CameraRig(const QVector<site::CameraEntry>& cameras, Log log)
    : d(std::make_unique<Private>())
{
    d->entries = cameras;
    d->log = std::move(log);
    d->live.resize(cameras.size());
    for (int i = 0; i < cameras.size(); ++i)
        d->ports.append(std::make_shared<Private::Port>(d.get(), i));
    d->context = new QObject;
    d->context->moveToThread(&d->thread);
    d->thread.start();
    QMetaObject::invokeMethod(
        d->context, [p = d.get()] { p->setUp(); }, Qt::QueuedConnection);
}

CameraRig::~CameraRig()
{
    // The cameras, their timers and the network go on the thread that made
    // them; then the thread ends.
    QMetaObject::invokeMethod(
        d->context, [p = d.get()] { delete p->context; }, Qt::BlockingQueuedConnection);
    d->thread.quit();
    d->thread.wait();
}

QVector<PtzPort*> CameraRig::ports() const
{
    QVector<PtzPort*> ports;
    for (const std::shared_ptr<Private::Port>& port : d->ports)
        ports.append(port.get());
    return ports;
}

QVector<CameraLive> CameraRig::live() const
{
    const std::lock_guard<std::mutex> lock(d->mutex);
    return d->live;
}

} // namespace trklib::sited::cue
