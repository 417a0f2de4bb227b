#pragma once

#include "tools/sited/fusion/picture.h"
#include "tools/sited/zones/rules.h"

#include "tools/common/encoders/asterix.h"
#include "tools/common/encoders/cat062.h"
#include "tools/common/encoders/cot.h"
#include "tools/common/site/georeference.h"
#include "tools/common/site/siteconfig.h"

#include <QString>
#include <QVector>

#include <cstdint>
#include <optional>

// sited's standard track outputs: every picture's objects as ASTERIX
// category 062 system tracks to [asterix] cat062, and as Cursor-on-Target
// events to [cot] destination, each over UDP.
namespace trklib::sited::outputs {

// One object as the outputs send it.
struct OutputObject
{
    encoders::asterix::SiteTrackReport track;
    double positionErrorM = encoders::cot::unknown;          // the filter's 1-sigma circle, metres
    encoders::cot::Kind kind = encoders::cot::Kind::Unknown; // its class, as CoT's type gives it
};

// The objects of successive pictures, each followed by the objects that the
// picture before held and this one no longer does (dropped or merged into
// another), once more as they were last and marked ended, so that a
// receiver ends their tracks.
class ObjectRounds
{
public:
    explicit ObjectRounds(const site::GeoReference* geo) : geo_(geo) {}

    // The picture's objects by id, then the ones that ended since the
    // previous call, by id.
    QVector<OutputObject> take(const Picture& picture);

private:
    const site::GeoReference* geo_;
    QVector<OutputObject> last_; // the previous picture's, by id
};

// The outputs the site file asks for. Sending never waits: a datagram the
// socket cannot take at once is dropped and counted.
class TrackOutputs
{
public:
    explicit TrackOutputs(const site::SiteConfig& site);
    ~TrackOutputs();

    TrackOutputs(const TrackOutputs&) = delete;
    TrackOutputs& operator=(const TrackOutputs&) = delete;

    // Opens a socket for each output and logs where it goes; false with a
    // one-line error.
    bool open(QString& error);
    // One picture: category 062 every time, Cursor-on-Target when a round
    // is due by [cot] rate.
    void send(const Picture& picture);
    // The zone events of a picture, each a Cursor-on-Target alarm at once
    // (not held to [cot] rate), when the site has [cot] and an origin.
    void sendZoneEvents(const QVector<zones::Event>& events, const QVector<zones::Zone>& zones);

    std::uint64_t datagrams() const { return datagrams_; }
    // Datagrams that could not be sent at once, of every output.
    std::uint64_t dropped() const { return dropped_; }
    // Values sent clamped to their ASTERIX item's range.
    std::uint64_t clamped() const { return clamped_.total(); }

private:
    void sendDatagram(int socket, const QByteArray& datagram);
    encoders::cot::Source cotSource() const;

    const site::SiteConfig& site_;
    std::optional<site::GeoReference> geo_;
    int cat062Socket_ = -1;
    int cotSocket_ = -1;
    ObjectRounds cat062Rounds_;
    ObjectRounds cotRounds_;
    encoders::cot::Throttle cotThrottle_;
    encoders::asterix::ClampCounts clamped_;
    bool saidClamped_ = false;
    bool saidDropped_ = false;
    std::uint64_t datagrams_ = 0;
    std::uint64_t dropped_ = 0;
};

} // namespace trklib::sited::outputs
