#include "tools/sited/sitemetrics.h"

#include <prometheus/counter.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

namespace trklib::sited {

SiteMetrics::SiteMetrics()
    : registry_(std::make_shared<prometheus::Registry>()),
      status_([this](service::Figures& figures) { gather(figures); })
{
    pictures_ = &prometheus::BuildCounter()
                     .Name("trklib_site_pictures_total")
                     .Help("Pictures of the site published.")
                     .Register(*registry_)
                     .Add({});
    latency_ = &prometheus::BuildHistogram()
                    .Name("trklib_site_picture_latency_seconds")
                    .Help("From a picture's time to its publication.")
                    .Register(*registry_)
                    .Add({}, service::latencyBucketsS());
}

SiteMetrics::~SiteMetrics() = default;

void SiteMetrics::picturePublished(double latencyS)
{
    pictures_->Increment();
    latency_->Observe(latencyS);
}

void SiteMetrics::update(const SiteFigures& figures)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    figures_ = figures;
}

void SiteMetrics::gather(service::Figures& figures) const
{
    SiteFigures f;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        f = figures_;
    }
    figures.gauge("trklib_site_objects", "Objects of the site's picture.", f.objects);
    figures.counter("trklib_site_late_messages_total",
                    "Tracks messages too old for fusion to apply.", double(f.lateMessages));
    figures.counter("trklib_site_events_total", "Events raised by the zones' rules.",
                    double(f.events));
    figures.gauge("trklib_site_recorder_queue_records",
                  "Records waiting for the history's database.", f.recorderWaiting);
    if (f.databaseBytes)
        figures.gauge("trklib_site_database_bytes", "The history database's size.",
                      double(*f.databaseBytes));
    for (const SiteFigures::Camera& c : f.cameras) {
        const prometheus::Labels labels{{"camera", c.name}};
        figures.gauge("trklib_site_camera_online", "Whether the PTZ camera answers (1) or not (0).",
                      c.online ? 1.0 : 0.0, labels);
        figures.counter("trklib_site_camera_commands_total", "Motion commands sent to the camera.",
                        double(c.commands), labels);
        figures.counter("trklib_site_camera_errors_total",
                        "ONVIF requests to the camera that failed.", double(c.errors), labels);
    }
}

std::string SiteMetrics::text() const
{
    return service::exposition({&status_, registry_.get()});
}

} // namespace trklib::sited
