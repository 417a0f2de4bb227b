#pragma once

#include "tools/sited/history/historyapi.h"
#include "tools/sited/history/historyrecorder.h"
#include "tools/sited/history/pictureblocks.h"
#include "tools/sited/zones/rules.h"
#include "tools/sited/zones/zonesfile.h"

#include "tools/common/site/georeference.h"

#include <QByteArray>
#include <QVector>

#include <array>
#include <cstdint>
#include <string>

// What edited zones would have raised: the recorded pictures of a period
// played again through the zones in force and through the edited ones, in
// one pass, side by side (POST /api/zones/preview). An edited zone that the
// rules judge as a zone in force (the same shape and settings, whatever its
// name) is not played twice: it raises that zone's events.
//
// The recorder keeps every published picture, an empty one too, so an
// object ends where it ended live: at the first picture without it. What
// the history lacks is a gap in the pictures (sited stopped, or pictures
// dropped while the database was away); across a gap longer than
// previewGapMs both rules start again, as a starting sited's do: an object
// ends without an exit, and one in the picture after the gap enters there
// (its id may be another object's: a new sited numbers objects from 1
// again). Likewise the objects of the period's first picture enter there.
namespace trklib::sited::history {

// Events of each side the answer carries, the first ones in time order;
// the counts are of all.
constexpr int maxPreviewEvents = 1000;
// The longest preview, hours back from the latest recorded picture.
constexpr int maxPreviewHours = 24;
// The pictures are read a minute at a time (ms; the store's blocks are
// minutes), each span in its own turn at the store, so that the recorder
// writes in between; the rules judge the spans read before while the next
// is read, and no more than four spans are held.
constexpr std::int64_t previewSpanMs = blockMs;
// A longer time between two recorded pictures is a gap (ms).
constexpr std::int64_t previewGapMs = 5000;

// What one set of zones raised.
struct PreviewSide
{
    // Per zone of its set, per Event::Kind (enter, exit, dwell, speed, cross).
    QVector<std::array<std::int64_t, 5>> counts;
    std::int64_t total = 0;
    QVector<QByteArray> events; // eventMessage's, at most maxPreviewEvents
};

struct ZonePreview
{
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
    std::int64_t pictures = 0;
    PreviewSide current;
    PreviewSide edited;
};

// Plays the pictures of [fromMs, toMs] through both sets of zones; false
// with the store's one line.
bool previewZones(SharedStore& store, const QString& site, const site::GeoReference* geo,
                  const QVector<zones::Zone>& current, const QVector<zones::Zone>& edited,
                  std::int64_t fromMs, std::int64_t toMs, ZonePreview& out, QString& error);

// {"from", "to", "pictures", "current": {"events", "counts": {ZONE: {"enter",
// "exit", "dwell", "speed", "cross"}}, "total"}, "edited": {...}}.
QByteArray previewJson(const ZonePreview& preview, const QVector<zones::Zone>& current,
                       const QVector<zones::Zone>& edited);

// POST /api/zones/preview with its JSON body {"geojson": FeatureCollection,
// "hours"?: 1 to maxPreviewHours, default maxPreviewHours}: the period
// ends at the latest recorded picture. 400 for a bad body or refused
// zones (parseZones' line), 404 without a history, a picture or an origin.
Reply zonePreviewReply(ApiContext& context, const std::string& body);

} // namespace trklib::sited::history
