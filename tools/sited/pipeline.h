#pragma once

#include "tools/sited/fusion/picture.h"
#include "tools/sited/link/sitestatus.h"

#include "tools/common/service/brokermessages.h"
#include "tools/common/site/georeference.h"
#include "tools/common/site/siteconfig.h"

#include <QByteArray>
#include <QStringList>
#include <QVector>

#include <cstdint>
#include <memory>
#include <optional>

// The picture pipeline: the same object makes each picture and hands it
// to the zones' rules, the standard outputs, the history and a sink, for
// the live service (which publishes) and the offline run (which writes
// lines) alike.
namespace trklib::sited {

namespace align {
class Aligner;
}
namespace classify {
class Classifier;
class Model;
} // namespace classify
namespace fusion {
class Fusion;
struct Settings;
} // namespace fusion
namespace zones {
class ZoneOutput;
class ZoneMailbox;
} // namespace zones
namespace outputs {
class TrackOutputs;
}
namespace history {
class SiteHistory;
}

// What fusion is told of the site file: [fusion] and each radar's place
// (fusion/fusion.h declares the settings).
fusion::Settings fusionSettings(const site::SiteConfig& site);

// Where the pipeline's messages go.
class PictureSink
{
public:
    virtual ~PictureSink() = default;
    // A picture's message, for <prefix>/<site>/site/tracks.
    virtual void picture(const QByteArray& message) = 0;
    // A zone event's message, for topic (<prefix>/<site>/events), in the
    // order raised.
    virtual void event(const QByteArray& topic, const QByteArray& message) = 0;
    // A zone's state that a picture's events changed, the zones' message
    // and a state emptied when its zone is gone (retained).
    virtual void zoneState(const service::TopicMessage& state) = 0;
    // A line for the log: the live service's, stderr offline.
    virtual void log(const QString& line) { Q_UNUSED(line) }
};

// The stages a picture goes through besides the sink; each may be absent.
struct PipelineStages
{
    zones::ZoneOutput* zones = nullptr;       // the rules, with their state
    outputs::TrackOutputs* outputs = nullptr; // CAT062 and Cursor-on-Target
    history::SiteHistory* history = nullptr;  // the recorder
    zones::ZoneMailbox* mailbox = nullptr;    // saved zones and armings, with zones
    // The class model of [classes] model, loaded (classify::Model::load);
    // null: the built-in one. It outlives the pipeline.
    const classify::Model* classModel = nullptr;
};

class PicturePipeline
{
public:
    PicturePipeline(const site::SiteConfig& site, PipelineStages stages, PictureSink& sink);
    ~PicturePipeline();

    PicturePipeline(const PicturePipeline&) = delete;
    PicturePipeline& operator=(const PicturePipeline&) = delete;

    // One radar packet's targets, into fusion.
    void add(const TracksReport& report);
    // Takes the mailbox's zones and armings first (takeMail()); then makes
    // the picture of timeMs, gives each object its classes ([classes]
    // threshold) and hands it on: its message to the
    // sink, its objects to the outputs and to the history (with when each
    // radar's last tracks message came, for their online changes); then
    // the rules: each event to the sink, the outputs (alarms) and the
    // history, and the zones' changed states to the sink. With [fusion]
    // align not off, fusion's co-sightings go to the aligner, which
    // estimates once a second of picture time (alignment()).
    Picture make(std::int64_t timeMs,
                 const QVector<std::optional<std::int64_t>>& lastTracksMs = {});

    // Fusion's objects now, the reports it did not apply (late), and how
    // often it mended its own books (fusion::Fusion::recoveries()).
    int objectCount() const;
    std::uint64_t lateMessages() const;
    std::uint64_t fusionRecoveries() const;
    // Each object's classes and the features they came from.
    const classify::Classifier& classifier() const { return *classifier_; }
    const QStringList& radarNames() const { return radarNames_; }
    const site::GeoReference* geo() const { return geo_ ? &*geo_ : nullptr; }
    std::int64_t pictures() const { return pictures_; }
    std::int64_t events() const { return events_; }
    // The latest estimates and which of them fusion applies; none with
    // [fusion] align = off.
    std::optional<link::AlignmentStatus> alignment() const { return alignment_; }

    // What the API posted to the mailbox since: a saved zones file (the new
    // zones, their message and every state to the sink, a gone zone's
    // state emptied, the history told) and the armings, answered; make()
    // calls it, and a slow picture rate's loop in between too.
    void takeMail(std::int64_t timeMs);

private:
    void align(std::int64_t timeMs);

    const site::SiteConfig& site_;
    PipelineStages stages_;
    PictureSink& sink_;
    std::unique_ptr<fusion::Fusion> fusion_;
    std::unique_ptr<classify::Classifier> classifier_;
    std::unique_ptr<align::Aligner> aligner_; // null: [fusion] align = off
    std::optional<link::AlignmentStatus> alignment_;
    QVector<RadarAlignment> inForce_; // by radar, the correction fusion applies
    std::optional<std::int64_t> nextEstimateMs_;
    std::optional<site::GeoReference> geo_;
    QStringList radarNames_;
    std::int64_t pictures_ = 0;
    std::int64_t events_ = 0;
};

} // namespace trklib::sited
