#pragma once

#include "support/mosquittobroker.h" // freeTcpPort

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>

#include <pwd.h>
#include <unistd.h>

namespace trklib::test {

// Debian's PostgreSQL 15 server in a folder of the test's own, on a free
// loopback port, made by initdb and run by pg_ctl; stopped by stop() or at
// the end of its scope, also when a test fails. PostgreSQL will not run as
// root: there it runs as the postgres user, which then owns the folder.
class PostgresServer
{
public:
    static QString binDir() { return QStringLiteral("/usr/lib/postgresql/15/bin"); }
    static bool available()
    {
        return QFile::exists(binDir() + QStringLiteral("/initdb")) &&
               QFile::exists(binDir() + QStringLiteral("/pg_ctl"));
    }

    // dir: an empty folder, or one an earlier server left its cluster in,
    // that outlives the server. extraOptions: more
    // "-c name=value" settings of the server.
    explicit PostgresServer(const QString& dir, QStringList extraOptions = {})
        : dir_(dir), port_(freeTcpPort()), extra_(std::move(extraOptions))
    {}
    ~PostgresServer() { stop(); }
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    quint16 port() const { return port_; }
    QString url() const
    {
        return QStringLiteral("postgresql://postgres@127.0.0.1:%1/postgres").arg(port_);
    }
    QString dataDir() const { return dir_ + QStringLiteral("/data"); }
    QString log() const
    {
        QFile file(dir_ + QStringLiteral("/server.log"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    // Makes the cluster the first time (unless the folder holds one from an
    // earlier run), then starts the server and waits until it takes
    // connections; false with the reason in error.
    bool start(QString& error)
    {
        if (!initialized_ && QFile::exists(dataDir() + QStringLiteral("/PG_VERSION")))
            initialized_ = true;
        if (!initialized_) {
            if (::geteuid() == 0) {
                const passwd* user = ::getpwnam("postgres");
                if (!user || ::chown(dir_.toUtf8().constData(), user->pw_uid, user->pw_gid) != 0) {
                    error = QStringLiteral("cannot give %1 to the postgres user").arg(dir_);
                    return false;
                }
            }
            if (!run(QStringLiteral("initdb"),
                     {QStringLiteral("-D"), dataDir(), QStringLiteral("-U"),
                      QStringLiteral("postgres"), QStringLiteral("-A"), QStringLiteral("trust"),
                      QStringLiteral("--no-sync"), QStringLiteral("-E"), QStringLiteral("UTF8")},
                     error))
                return false;
            initialized_ = true;
        }
        QStringList options{QStringLiteral("-p %1").arg(port_),
                            QStringLiteral("-c listen_addresses=127.0.0.1"),
                            QStringLiteral("-c unix_socket_directories=%1").arg(dir_)};
        options += extra_;
        if (!run(QStringLiteral("pg_ctl"),
                 {QStringLiteral("-D"), dataDir(), QStringLiteral("-l"),
                  dir_ + QStringLiteral("/server.log"), QStringLiteral("-w"), QStringLiteral("-t"),
                  QStringLiteral("60"), QStringLiteral("-o"), options.join(QLatin1Char(' ')),
                  QStringLiteral("start")},
                 error))
            return false;
        running_ = true;
        return true;
    }

    bool stop()
    {
        if (!running_)
            return true;
        QString error;
        running_ = !run(QStringLiteral("pg_ctl"),
                        {QStringLiteral("-D"), dataDir(), QStringLiteral("-m"),
                         QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("stop")},
                        error);
        return !running_;
    }

private:
    bool run(const QString& program, const QStringList& arguments, QString& error)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        const QString path = binDir() + QLatin1Char('/') + program;
        if (::geteuid() == 0)
            process.start(QStringLiteral("runuser"),
                          QStringList{QStringLiteral("-u"), QStringLiteral("postgres"),
                                      QStringLiteral("--"), path} +
                              arguments);
        else
            process.start(path, arguments);
        constexpr int runMs = 120000;
        if (!process.waitForFinished(runMs) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0) {
            error = QStringLiteral("%1 failed: %2 %3")
                        .arg(program, QString::fromUtf8(process.readAll()).trimmed(), log());
            return false;
        }
        return true;
    }

    QString dir_;
    quint16 port_;
    QStringList extra_;
    bool initialized_ = false;
    bool running_ = false;
};

} // namespace trklib::test
