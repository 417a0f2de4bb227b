#include "tools/sited/pipeline.h"

#include "tools/sited/align/aligner.h"
#include "tools/sited/classify/classifier.h"
#include "tools/sited/fusion/fusion.h"
#include "tools/sited/fusion/picturejson.h"
#include "tools/sited/history/sitehistory.h"
#include "tools/sited/outputs/trackoutputs.h"
#include "tools/sited/zones/zonemailbox.h"
#include "tools/sited/zones/zoneoutput.h"

#include <cmath>

namespace trklib::sited {

namespace {

// The aligner estimates once in this much picture time, ms.
constexpr std::int64_t estimatePeriodMs = 1000;

// What the aligner is told of the site file: each radar's place and the
// anchor.
align::Settings alignSettings(const site::SiteConfig& site)
{
    align::Settings settings;
    for (const site::RadarEntry& radar : site.radars)
        settings.radars.append({radar.placement.x, radar.placement.y, radar.mounting.height});
    settings.anchor = site.fusion.alignAnchor;
    return settings;
}

// "radar east moved: heading +5.02 deg, x +0.10 m, y -0.03 m, range +0.00 m":
// how far its estimate jumped.
QString changeLine(const QString& radar, const align::Aligner::Change& change)
{
    const auto signedFigure = [](double value) {
        const double centi = std::round(value * 100.0); // +0.00 for what rounds to zero
        return QStringLiteral("%1%2")
            .arg(centi < 0 ? QStringLiteral("-") : QStringLiteral("+"))
            .arg(std::abs(centi) / 100.0, 0, 'f', 2);
    };
    return QStringLiteral("alignment: radar %1 moved: heading %2 deg, x %3 m, y %4 m, range %5 m")
        .arg(radar, signedFigure(change.after.headingDeg - change.before.headingDeg),
             signedFigure(change.after.xM - change.before.xM),
             signedFigure(change.after.yM - change.before.yM),
             signedFigure(change.after.rangeM - change.before.rangeM));
}

} // namespace

fusion::Settings fusionSettings(const site::SiteConfig& site)
{
    fusion::Settings settings;
    settings.gateM = site.fusion.gateM;
    settings.coastS = site.fusion.coastS;
    settings.coSightings = site.fusion.align != site::AlignMode::Off;
    for (const site::RadarEntry& radar : site.radars)
        settings.radars.append(
            {radar.placement.x, radar.placement.y, radar.mounting.height, radar.rangeOffsetM});
    return settings;
}

PicturePipeline::PicturePipeline(const site::SiteConfig& site, PipelineStages stages,
                                 PictureSink& sink)
    : site_(site), stages_(stages), sink_(sink),
      fusion_(std::make_unique<fusion::Fusion>(fusionSettings(site))),
      classifier_(std::make_unique<classify::Classifier>(
          stages.classModel ? *stages.classModel : classify::Model::builtin(),
          site.classes.threshold))
{
    if (site.origin)
        geo_.emplace(*site.origin);
    for (const site::RadarEntry& radar : site.radars)
        radarNames_ << radar.name;
    if (site.fusion.align != site::AlignMode::Off) {
        aligner_ = std::make_unique<align::Aligner>(alignSettings(site));
        alignment_.emplace();
        alignment_->apply = site.fusion.align == site::AlignMode::Apply;
        alignment_->applied.fill(false, site.radars.size());
        inForce_.fill(RadarAlignment(), site.radars.size());
    }
}

PicturePipeline::~PicturePipeline() = default;

void PicturePipeline::add(const TracksReport& report)
{
    fusion_->add(report);
}

int PicturePipeline::objectCount() const
{
    return fusion_->objectCount();
}

std::uint64_t PicturePipeline::lateMessages() const
{
    return fusion_->lateMessages();
}

std::uint64_t PicturePipeline::fusionRecoveries() const
{
    return fusion_->recoveries();
}

Picture PicturePipeline::make(std::int64_t timeMs,
                              const QVector<std::optional<std::int64_t>>& lastTracksMs)
{
    takeMail(timeMs);
    Picture picture = fusion_->picture(timeMs);
    if (aligner_)
        align(timeMs);
    classifier_->classify(picture);
    sink_.picture(fusion::pictureMessage(site_.name, radarNames_, picture, geo()));
    if (stages_.outputs)
        stages_.outputs->send(picture);
    if (stages_.history)
        stages_.history->picture(radarNames_, picture, geo(), lastTracksMs);
    ++pictures_;
    if (!stages_.zones)
        return picture;

    zones::ZoneOutput& zones = *stages_.zones;
    const QVector<QByteArray> events = zones.evaluate(picture);
    for (const QByteArray& event : events)
        sink_.event(zones.eventsTopic(), event);
    events_ += events.size();
    if (stages_.outputs)
        stages_.outputs->sendZoneEvents(zones.lastEvents(), zones.zones());
    if (stages_.history)
        stages_.history->events(zones, events);
    for (const service::TopicMessage& state : zones.changedStates())
        sink_.zoneState(state);
    return picture;
}

// The co-sightings into the aligner; once a second its estimates, each
// change logged, and in apply mode each one to apply handed to fusion.
// A radar keeps the last applied estimate while its newer ones are not
// certain, or clearly better than it (align::appliedAlignment()): after a
// knock, the new estimate as soon as it is either.
void PicturePipeline::align(std::int64_t timeMs)
{
    for (const CoSighting& coSighting : fusion_->takeCoSightings())
        aligner_->add(coSighting);
    // Due once a second; at once when the clock stepped back.
    if (nextEstimateMs_ && timeMs < *nextEstimateMs_ &&
        timeMs >= *nextEstimateMs_ - estimatePeriodMs)
        return;
    nextEstimateMs_ = timeMs + estimatePeriodMs;
    alignment_->radars = aligner_->estimate(timeMs);
    for (const align::Aligner::Change& change : aligner_->takeChanges())
        sink_.log(changeLine(radarNames_.value(change.radar), change));
    if (!alignment_->apply)
        return;
    for (const align::RadarEstimate& e : qAsConst(alignment_->radars)) {
        if (e.radar < 0 || e.radar >= radarNames_.size())
            continue;
        const std::optional<RadarAlignment> by = align::appliedAlignment(e, inForce_[e.radar]);
        if (!by)
            continue;
        // The anchor's is none: a radar that was corrected before the
        // consensus chose it as the anchor is no longer.
        fusion_->setAlignment(e.radar, *by);
        inForce_[e.radar] = *by;
        alignment_->applied[e.radar] = !e.anchor;
    }
}

void PicturePipeline::takeMail(std::int64_t timeMs)
{
    if (!stages_.mailbox || !stages_.zones)
        return;
    zones::ZoneOutput& zones = *stages_.zones;
    stages_.mailbox->serve([&](const zones::ZoneMailbox::Job& job) {
        if (!job.zones)
            return zones.command(job.command, timeMs);
        for (const QByteArray& gone : zones.replace(*job.zones, timeMs))
            sink_.zoneState({gone, QByteArray()});
        sink_.zoneState(zones.zonesMessage());
        for (const service::TopicMessage& state : zones.states())
            sink_.zoneState(state);
        if (stages_.history)
            stages_.history->zonesReplaced(zones, timeMs);
        return zones::ArmingAnswer();
    });
    for (const service::TopicMessage& state : zones.takeCommandedStates())
        sink_.zoneState(state);
}

} // namespace trklib::sited
