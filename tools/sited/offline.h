#pragma once

#include "tools/sited/link/sitestatus.h"

#include "tools/common/site/siteconfig.h"

#include "util/units.h"

#include <QString>

#include <cstdint>
#include <optional>

// sited without a broker: a capture of the site's radars tracked and fused
// with the capture's clock, so that a run can be repeated and scored.
namespace trklib::sited {

// The offline run's picture times: the first at the first radar packet's
// time, then one every 1000/rate ms of capture time, each counted from the
// first so that rounding to whole milliseconds does not drift. A picture
// is due once the capture clock has passed its time, so that every report
// received at or before it is in it.
class CapturePictureClock
{
public:
    explicit CapturePictureClock(double ratePerS) : periodMs_(util::msPerS / ratePerS) {}

    // At the first radar packet.
    void start(std::int64_t firstMs);
    // The time of the next picture; none before the start.
    std::optional<std::int64_t> next() const { return next_; }
    // Whether a capture clock at nowMs has passed the next picture's time.
    bool passed(std::int64_t nowMs) const { return next_ && nowMs > *next_; }
    // The next picture was made: on to the one after.
    void advance();

private:
    double periodMs_;
    std::int64_t firstMs_ = 0;
    std::int64_t made_ = 0;
    std::optional<std::int64_t> next_;
};

namespace zones {
class ZoneOutput;
}
namespace classify {
class Model;
}

// The events of an offline run: the site's zones (none without a [zones]
// file) and the file that takes their events, one a line (empty: none).
struct OfflineEvents
{
    zones::ZoneOutput* zones = nullptr;
    QString output;
};

// The classes of an offline run: the model (null: the built-in one) and
// the file that takes each object's features and classes (empty: none),
// CSV with a header: time, id, confirmed, every feature by its name
// (classify::featureName()), class, then p_<class> for each of the six
// classes; a row for each object of every picture in featureRowsPerS a
// second.
struct OfflineClasses
{
    const classify::Model* model = nullptr;
    QString featuresOutput;
};
constexpr double featureRowsPerS = 2.0; // pictures with feature rows a second, at most

struct OfflineRun
{
    std::int64_t packets = 0;  // radar packets tracked, every radar
    std::int64_t pictures = 0; // lines written to the output
    std::uint64_t lateMessages = 0;
    std::int64_t events = 0; // lines written to the events output
    // The aligner's last estimates, at the capture's end; none with
    // [fusion] align = off.
    std::optional<link::AlignmentStatus> alignment;
};

// Tracks every radar's datagrams in the capture (told apart as trackd tells
// them apart: port, bind address, sender) with the library, fuses them with
// the capture's frame times as the clock, rate pictures a second from the
// first radar packet's time, and writes one picture per line to output
// (empty: none, the run is for its alignment);
// when tracksOutput is not empty, every radar's tracks messages as trackd
// would publish them, one per line, in the order fused; when events name an
// output, the events the zones' rules raise on each picture, one per line,
// in the order raised; the features of classes' output likewise; the
// alignment's changes go to stderr, one line each. Outputs
// are written whole or not at all. False with a one-line error
// ("cap.pcap: ...").
bool runOffline(const site::SiteConfig& config, const QString& capture, const QString& output,
                const QString& tracksOutput, const OfflineEvents& events, OfflineRun& run,
                QString& error, const OfflineClasses& classes = OfflineClasses());

// What sited --align prints of an offline run's alignment: for each radar
// a comment with its co-sightings and estimates (± one standard
// deviation), then its section's keys corrected by them, to copy into the
// site file: heading, x, y and range_offset. The anchor and a radar the
// geometry cannot tell get the comment alone, the latter with why; but one
// that only cannot tell its range offset from its place along its beam has
// that place folded into its range offset (a line that says so, with the
// folded figures' standard deviations) and its keys corrected by that.
// Figures not yet certain say so ("; not certain yet").
QString alignmentKeys(const site::SiteConfig& config, const link::AlignmentStatus& alignment);

} // namespace trklib::sited
