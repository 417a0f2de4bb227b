#pragma once

#include <QString>

#include <chrono>

namespace trklib::cli {

// One progress line: how much of the capture file is read, how many radar
// packets were tracked and how fast, e.g.
// "trackreplay: 45% of 1.2 GB read, 12345 radar packets, 2000 packets/s".
// fileBytes 0 (unknown) leaves out the share.
QString progressLine(qint64 bytesRead, qint64 fileBytes, qint64 packets, double seconds);

// Shows progressLine() on standard error while a long capture is read,
// rewriting it in place ('\r'): only on a terminal, from one second after
// the start, a few times per second at most.
class ProgressMeter
{
public:
    // enabled: standard error is a terminal.
    ProgressMeter(bool enabled, qint64 fileBytes);
    ~ProgressMeter() { clear(); }

    ProgressMeter(const ProgressMeter&) = delete;
    ProgressMeter& operator=(const ProgressMeter&) = delete;

    // True when the line is due for a refresh; cheap enough for every frame.
    bool due();
    void show(qint64 bytesRead, qint64 packets);
    // Wipes the line, so that what follows starts on a clean line.
    void clear();

private:
    using Clock = std::chrono::steady_clock;

    bool enabled_;
    qint64 fileBytes_;
    Clock::time_point start_;
    Clock::time_point next_;
    unsigned calls_ = 0;
    int shownChars_ = 0;
};

} // namespace trklib::cli
