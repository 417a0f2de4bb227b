#pragma once

// What the live benchmarks read of the service they run: its CPU time and
// memory from /proc, and the percentiles of what they measured.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <vector>

#include <unistd.h>

namespace bench {

// The process's user and system CPU time so far, seconds (0 when it is gone).
inline double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0.0;
    // After the command's closing parenthesis: fields 3 on; utime and
    // stime are fields 14 and 15, in clock ticks.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0.0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// A figure of /proc/PID/status, such as VmRSS (kB) or Threads; 0 when absent.
inline qint64 procStatus(qint64 pid, const char* field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field) && line.indexOf(':') == int(qstrlen(field)))
            return line.mid(line.indexOf(':') + 1).simplified().split(' ').value(0).toLongLong();
    }
    return 0;
}

// The value below which the share p (0 to 1) of values lie; 0 for none.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

} // namespace bench
