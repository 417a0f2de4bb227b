#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace trklib::test {

// A free TCP port on the loopback address: one the kernel just handed out
// and took back, and not one this process had before.
inline quint16 freeTcpPort()
{
    static QSet<quint16> handedOut;
    for (;;) {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        if (!handedOut.contains(server.serverPort())) {
            handedOut.insert(server.serverPort());
            return server.serverPort();
        }
    }
}

// Debian's mosquitto broker on a loopback port of its own, run from a
// configuration file written into dir: a listener on the port plus the
// lines given (TLS, passwords, bridges). Stopped by stop() or at the end of
// its scope, also when a test fails.
class MosquittoBroker
{
public:
    MosquittoBroker(const QString& dir, const QString& name, const QString& extraConfig = {})
        : dir_(dir), name_(name), port_(freeTcpPort())
    {
        // Started as root, mosquitto would read its files as its own user;
        // the test's folder is its own.
        const QString config = QStringLiteral("listener %1 127.0.0.1\n"
                                              "persistence false\n"
                                              "user root\n"
                                              "log_dest stderr\n"
                                              "log_type error\nlog_type warning\n"
                                              "log_type notice\nlog_type information\n")
                                   .arg(port_) +
                               (extraConfig.contains(QLatin1String("allow_anonymous"))
                                    ? QString()
                                    : QStringLiteral("allow_anonymous true\n")) +
                               extraConfig;
        QFile file(configPath());
        if (file.open(QIODevice::WriteOnly))
            file.write(config.toUtf8());
    }

    ~MosquittoBroker() { stop(); }

    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    // Starts the broker and waits until it takes connections; false when
    // it does not within five seconds (its log says why).
    bool start()
    {
        constexpr int readyMs = 5000;
        constexpr int pollMs = 20;
        process_.setStandardErrorFile(logPath(), QIODevice::Append);
        process_.setStandardOutputFile(logPath(), QIODevice::Append);
        process_.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), configPath()});
        if (!process_.waitForStarted())
            return false;
        for (int waited = 0; waited < readyMs; waited += pollMs) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port_);
            if (probe.waitForConnected(pollMs))
                return true;
            if (process_.state() == QProcess::NotRunning)
                return false;
            QThread::msleep(pollMs);
        }
        return false;
    }

    // Ends the broker (SIGTERM, then SIGKILL after five seconds).
    void stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished();
        }
    }

    quint16 port() const { return port_; }
    qint64 pid() const { return process_.processId(); }
    QString configPath() const { return QDir(dir_).filePath(name_ + QStringLiteral(".conf")); }
    QString logPath() const { return QDir(dir_).filePath(name_ + QStringLiteral(".log")); }
    QByteArray log() const
    {
        QFile file(logPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QString dir_;
    QString name_;
    quint16 port_;
    QProcess process_;
};

} // namespace trklib::test
