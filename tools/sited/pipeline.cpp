#include "tools/sited/pipeline.h"

#include "tools/sited/classify/classifier.h"
#include "tools/sited/fusion/fusion.h"
#include "tools/sited/fusion/picturejson.h"
#include "tools/sited/history/sitehistory.h"
#include "tools/sited/outputs/trackoutputs.h"
#include "tools/sited/zones/zonemailbox.h"
#include "tools/sited/zones/zoneoutput.h"

namespace trklib::sited {

fusion::Settings fusionSettings(const site::SiteConfig& site)
{
    fusion::Settings settings;
    settings.gateM = site.fusion.gateM;
    settings.coastS = site.fusion.coastS;
    for (const site::RadarEntry& radar : site.radars)
        settings.radars.append({radar.placement.x, radar.placement.y, radar.mounting.height});
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
