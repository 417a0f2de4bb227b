#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace trklib::test {

// The tests' ONVIF PTZ camera (tests/tools/sited/cue/onvif_device.py) as a
// child process on a free loopback port of its choosing, which it prints
// first; killed at the end of its scope, also when a test fails. port() is
// 0 when it did not start or did not say its port within waitMs.
class OnvifDevice
{
public:
    static constexpr const char* username = "operator";
    static constexpr const char* password = "pan-tilt-zoom";

    OnvifDevice(const QString& python, const QString& script, const QStringList& extra = {},
                int waitMs = 10000)
    {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(python,
                       QStringList{script, "--username", username, "--password", password} + extra);
        if (!process_.waitForStarted() || !process_.waitForReadyRead(waitMs))
            return;
        const QByteArray line = process_.readLine().trimmed();
        if (line.startsWith("listening 127.0.0.1:"))
            port_ = line.mid(line.indexOf(':') + 1).toInt();
    }
    ~OnvifDevice()
    {
        process_.kill();
        process_.waitForFinished();
    }
    OnvifDevice(const OnvifDevice&) = delete;
    OnvifDevice& operator=(const OnvifDevice&) = delete;

    int port() const { return port_; }
    QString address() const
    {
        return QStringLiteral("http://127.0.0.1:%1/onvif/device_service").arg(port_);
    }

private:
    QProcess process_;
    int port_ = 0;
};

} // namespace trklib::test
