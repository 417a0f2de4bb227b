#pragma once

#include "tools/sited/align/aligner.h"

#include <QByteArray>
#include <QStringList>
#include <QVector>

#include <chrono>
#include <cstdint>
#include <optional>

// sited's status, retained on <prefix>/<site>/site/status, and the clock
// that says when a picture or a status is due.
namespace trklib::sited::link {

// The self-alignment as it stands, when [fusion] align is not off.
struct AlignmentStatus
{
    bool apply = false;                   // [fusion] align = apply, else report
    QVector<align::RadarEstimate> radars; // by radar, the latest estimates
    QVector<bool> applied;                // by radar: fusion corrects its tracks
};

struct SiteStatus
{
    // By radar (the site file's order): the host clock, ms since the
    // epoch, when its last tracks message arrived; none before the first.
    QVector<std::optional<std::int64_t>> lastTracksMs;
    int objects = 0;
    std::uint64_t pictures = 0;
    std::uint64_t lateMessages = 0;
    std::uint64_t fusionRecoveries = 0; // times fusion mended its own books (0 unless a fault)
    std::uint64_t droppedEvents = 0;    // over the backlog while the broker was away
    std::uint64_t droppedRecords = 0;   // over the history's queue while the database was away
    std::uint64_t asterixClamped = 0;   // CAT062 values sent clamped to their item's range
    std::uint64_t outputDropped = 0;    // CAT062 and CoT datagrams not sent at once
    // The history as last measured: its size, bytes, and its earliest and
    // latest records' times; none when off or not measured yet.
    std::optional<std::int64_t> historyBytes;
    std::optional<std::int64_t> historyOldestMs;
    std::optional<std::int64_t> historyNewestMs;
    std::optional<AlignmentStatus> alignment; // none: [fusion] align = off
    // The cameras' object, as cueing writes it (cue/cueing.h); empty: the
    // site has no cameras.
    QByteArray cameras;
};

// {"online": true, "radars": {NAME: seconds since its last tracks message
// at nowMs, null when it has sent none}, "objects", "pictures",
// "lateMessages", "fusionRecoveries", "droppedEvents", "droppedRecords",
// "asterixClamped", "outputDropped", "historyBytes", "historyOldestDay",
// "historyNewestDay"} with the days as UTC dates "YYYY-MM-DD" and null for
// what is not known; with an alignment, "alignment": {"mode", "radars":
// {NAME: {"observable", "why", "anchor", "certain", "applied",
// "heading_deg", "x_m", "y_m", "range_m", and their sigmas
// "heading_sigma_deg" ..., "co_sightings"}}}, the figures null while the
// radar is not observable and why null while it is; with cameras,
// "cameras": their object. A message stamped after nowMs (the clock
// stepped back) is 0 s old.
QByteArray siteStatusMessage(const QStringList& radarNames, const SiteStatus& status,
                             std::int64_t nowMs);

// {"online": false}: the last will, and what a clean shutdown leaves.
QByteArray siteOfflineMessage();

// Ticks at a rate, on a steady clock: the k-th is due k / rate seconds
// after the start, so that the rate holds however late each is taken; ticks
// whose time has passed by when one is taken are skipped, not made up.
class PictureClock
{
public:
    using Clock = std::chrono::steady_clock;

    PictureClock(double ratePerS, Clock::time_point start);

    Clock::time_point due() const { return due_; }
    // At or after due(): on to the first tick after now. Returns how many
    // were skipped.
    std::int64_t advance(Clock::time_point now);

private:
    Clock::time_point at(std::int64_t tick) const;

    double periodNs_;
    Clock::time_point start_;
    std::int64_t tick_ = 0;
    Clock::time_point due_;
};

} // namespace trklib::sited::link
