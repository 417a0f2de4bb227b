#include "demoprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QStringList>

#include <unistd.h>

namespace trklib::test {

namespace {

constexpr int startTimeoutMs = 10000;
constexpr int pollIntervalMs = 20;
constexpr int killTimeoutMs = 5000;

// The inodes of the sockets among a process's open files ("socket:[N]").
QSet<QByteArray> socketInodes(qint64 pid)
{
    QSet<QByteArray> inodes;
    const QString fdDir = QStringLiteral("/proc/%1/fd").arg(pid);
    const QStringList fds = QDir(fdDir).entryList(QDir::Files | QDir::System);
    for (const QString& fd : fds) {
        char target[128] = {};
        const QByteArray path = QFile::encodeName(fdDir + QLatin1Char('/') + fd);
        const ssize_t length = ::readlink(path.constData(), target, sizeof(target) - 1);
        const QByteArray link(target, length > 0 ? int(length) : 0);
        if (link.startsWith("socket:[") && link.endsWith(']'))
            inodes.insert(link.mid(8, link.size() - 9));
    }
    return inodes;
}

// True when one of `inodes` is a UDP socket bound to `port` in the kernel's
// table /proc/net/udp or /proc/net/udp6 (columns: sl local rem st ... inode).
bool anyBoundTo(const QSet<QByteArray>& inodes, quint16 port, const char* table)
{
    constexpr int localAddressColumn = 1;
    constexpr int inodeColumn = 9;
    QFile file(QString::fromLatin1(table));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    file.readLine(); // column titles
    while (!file.atEnd()) {
        const QList<QByteArray> columns = file.readLine().simplified().split(' ');
        if (columns.size() <= inodeColumn)
            continue;
        const quint16 localPort =
            columns[localAddressColumn].split(':').last().toUShort(nullptr, 16);
        if (localPort == port && inodes.contains(columns[inodeColumn]))
            return true;
    }
    return false;
}

} // namespace

DemoProcess::DemoProcess(const QByteArray& input)
{
    process_.start(QStringLiteral(TRACKDEMO_PATH), QStringList());
    started_ = process_.waitForStarted(startTimeoutMs);
    if (started_) {
        process_.write(input);
        process_.closeWriteChannel();
    }
}

DemoProcess::~DemoProcess()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(killTimeoutMs);
    }
}

void DemoProcess::collect()
{
    output_ += process_.readAllStandardOutput();
    errors_ += process_.readAllStandardError();
}

bool DemoProcess::waitForPasses(int count, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        collect();
        if (output_.count("\n\n") >= count)
            return true;
        if (process_.state() == QProcess::NotRunning || timer.hasExpired(timeoutMs))
            return false;
        process_.waitForReadyRead(pollIntervalMs);
    }
}

bool DemoProcess::waitForBoundPort(quint16 port, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const QSet<QByteArray> inodes = socketInodes(process_.processId());
        if (anyBoundTo(inodes, port, "/proc/net/udp6") || anyBoundTo(inodes, port, "/proc/net/udp"))
            return true;
        if (process_.state() == QProcess::NotRunning || timer.hasExpired(timeoutMs))
            return false;
        process_.waitForReadyRead(pollIntervalMs);
        collect();
    }
}

bool DemoProcess::finish(int timeoutMs)
{
    const bool finished =
        process_.state() == QProcess::NotRunning || process_.waitForFinished(timeoutMs);
    collect();
    return finished;
}

bool DemoProcess::exitedNormally() const
{
    return process_.state() == QProcess::NotRunning &&
           process_.exitStatus() == QProcess::NormalExit;
}

} // namespace trklib::test
