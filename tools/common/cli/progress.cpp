#include "tools/common/cli/progress.h"

#include "tools/common/cli/text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace trklib::cli {

namespace {

constexpr std::chrono::milliseconds firstShow{1000}; // short runs show nothing
constexpr std::chrono::milliseconds refresh{250};
// Frames between looks at the clock: reading one takes well under a
// microsecond.
constexpr unsigned framesPerClockLook = 256;

// "950 B", "12.3 kB", "1.2 GB": decimal units, one decimal from kB on.
QString byteCount(qint64 bytes)
{
    constexpr double unit = 1000.0;
    static const char* const prefixes[] = {"k", "M", "G", "T"};
    if (bytes < unit)
        return QStringLiteral("%1 B").arg(bytes);
    double value = double(bytes);
    int prefix = -1;
    while (value >= unit && prefix < 3) {
        value /= unit;
        ++prefix;
    }
    return QStringLiteral("%1 %2B").arg(value, 0, 'f', 1).arg(QLatin1String(prefixes[prefix]));
}

} // namespace

QString progressLine(qint64 bytesRead, qint64 fileBytes, qint64 packets, double seconds)
{
    QString read;
    if (fileBytes > 0) {
        const qint64 percent = qBound<qint64>(0, bytesRead * 100 / fileBytes, 100);
        read = QStringLiteral("%1% of %2").arg(percent).arg(byteCount(fileBytes));
    } else {
        read = byteCount(bytesRead);
    }
    const qint64 rate = seconds > 0 ? qint64(std::llround(double(packets) / seconds)) : 0;
    return QStringLiteral("trackreplay: %1 read, %2, %3 packets/s")
        .arg(read)
        .arg(counted(packets, QStringLiteral("radar packet")))
        .arg(rate);
}

ProgressMeter::ProgressMeter(bool enabled, qint64 fileBytes)
    : enabled_(enabled), fileBytes_(fileBytes), start_(Clock::now()), next_(start_ + firstShow)
{}

bool ProgressMeter::due()
{
    if (!enabled_ || ++calls_ % framesPerClockLook != 0)
        return false;
    const Clock::time_point now = Clock::now();
    if (now < next_)
        return false;
    next_ = now + refresh;
    return true;
}

void ProgressMeter::show(qint64 bytesRead, qint64 packets)
{
    const std::chrono::duration<double> elapsed = Clock::now() - start_;
    const QString line = progressLine(bytesRead, fileBytes_, packets, elapsed.count());
    // Blanks over the rest of a longer line before.
    std::fprintf(stderr, "\r%-*s", shownChars_, qUtf8Printable(line));
    std::fflush(stderr);
    shownChars_ = std::max(shownChars_, int(line.size()));
}

void ProgressMeter::clear()
{
    if (shownChars_ == 0)
        return;
    std::fprintf(stderr, "\r%*s\r", shownChars_, "");
    std::fflush(stderr);
    shownChars_ = 0;
}

} // namespace trklib::cli
