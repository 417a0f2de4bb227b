#include "radarmetrics.h"

#include <prometheus/exposer.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <exception>

namespace trklib::trackd {

namespace {

// prometheus-cpp's pool of threads that answer scrapes.
constexpr std::size_t scrapeThreads = 2;

// A counter of the status: its name, its help and where it stands.
struct StatusCounter
{
    const char* name;
    const char* help;
    std::uint64_t site::RadarStatus::*count;
};

const StatusCounter statusCounters[]{
    {"trklib_radar_packets_total", "Packets of the radar assembled and tracked.",
     &site::RadarStatus::packets},
    {"trklib_radar_datagrams_total", "Datagrams of the radar received, competing ones included.",
     &site::RadarStatus::datagrams},
    {"trklib_radar_abandoned_packets_total",
     "Packets begun and given up (a lost datagram, a pause, another sender).",
     &site::RadarStatus::abandonedPackets},
    {"trklib_radar_competing_datagrams_total",
     "Datagrams dropped because another sender was followed.",
     &site::RadarStatus::competingDatagrams},
    {"trklib_radar_foreign_datagrams_total",
     "Datagrams on the radar's socket from none of its radars.",
     &site::RadarStatus::foreignDatagrams},
    {"trklib_radar_stray_datagrams_total", "Datagrams that belonged to no packet or broke a block.",
     &site::RadarStatus::strayDatagrams},
    {"trklib_radar_bad_headers_total", "Header-sized datagrams with a bad sync, version or size.",
     &site::RadarStatus::badHeaders},
    {"trklib_radar_read_errors_total",
     "Failed reads of the radar's socket and waits of a second without a datagram.",
     &site::RadarStatus::readErrors},
    {"trklib_radar_asterix_clamped_total",
     "ASTERIX category 010 values sent clamped to their item's range.",
     &site::RadarStatus::asterixClamped},
    {"trklib_radar_output_dropped_total", "ASTERIX category 010 datagrams not sent.",
     &site::RadarStatus::outputDropped},
};

} // namespace

RadarMetrics::RadarMetrics(const QVector<site::RadarEntry>& radars, StatusOf statusOf)
    : statusOf_(std::move(statusOf)), registry_(std::make_shared<prometheus::Registry>())
{
    prometheus::Family<prometheus::Histogram>& latency =
        prometheus::BuildHistogram()
            .Name("trklib_radar_packet_latency_seconds")
            .Help("From the read of a packet's last datagram to the publication of its tracks.")
            .Register(*registry_);
    for (const site::RadarEntry& radar : radars) {
        names_.push_back(radar.name.toStdString());
        latency_.push_back(&latency.Add({{"radar", names_.back()}}, service::latencyBucketsS()));
    }
    counts_ = std::make_shared<service::GatheredFigures>(
        [this](service::Figures& figures) { gather(figures); });
}

RadarMetrics::~RadarMetrics() = default;

void RadarMetrics::packetPublished(int radar, double latencyS)
{
    latency_[std::size_t(radar)]->Observe(latencyS);
}

void RadarMetrics::gather(service::Figures& figures) const
{
    for (std::size_t r = 0; r < names_.size(); ++r) {
        const site::RadarStatus status = statusOf_(int(r));
        const prometheus::Labels labels{{"radar", names_[r]}};
        for (const StatusCounter& c : statusCounters)
            figures.counter(c.name, c.help, double(status.*c.count), labels);
    }
}

std::string RadarMetrics::text() const
{
    return service::exposition({counts_.get(), registry_.get()});
}

std::unique_ptr<prometheus::Exposer> RadarMetrics::serve(const site::Destination& listen,
                                                         QString& error) const
{
    try {
        auto exposer =
            std::make_unique<prometheus::Exposer>(listen.toString().toStdString(), scrapeThreads);
        exposer->RegisterCollectable(counts_);
        exposer->RegisterCollectable(registry_);
        return exposer;
    } catch (const std::exception&) {
        // civetweb says no more than that it could not bind.
        error = QStringLiteral("[trackd] metrics_listen: cannot listen on %1: the port is taken "
                               "or the address is not this host's")
                    .arg(listen.toString());
        return nullptr;
    }
}

} // namespace trklib::trackd
