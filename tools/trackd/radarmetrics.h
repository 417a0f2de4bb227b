#pragma once

#include "tools/common/service/metrics.h"
#include "tools/common/site/radartracking.h"
#include "tools/common/site/siteconfig.h"

#include <QString>
#include <QVector>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace prometheus {
class Exposer;
class Histogram;
class Registry;
} // namespace prometheus

namespace trklib::trackd {

// trackd's figures for monitoring, by radar (label radar="<name>"): the
// counts of its status, read when a scrape asks, and how long its packets
// take from their last datagram's read to the publication of their tracks.
class RadarMetrics
{
public:
    // The radar's status now (its index in the configuration), from the
    // scraping thread.
    using StatusOf = std::function<site::RadarStatus(int radar)>;

    RadarMetrics(const QVector<site::RadarEntry>& radars, StatusOf statusOf);
    ~RadarMetrics();

    RadarMetrics(const RadarMetrics&) = delete;
    RadarMetrics& operator=(const RadarMetrics&) = delete;

    // A packet of radar whose tracks went out latencyS seconds after its
    // last datagram was read; from the reception thread.
    void packetPublished(int radar, double latencyS);

    // Everything as the text a scrape is answered with.
    std::string text() const;

    // Serves /metrics on listen (prometheus-cpp's Exposer) until the
    // answer is destroyed, which must be before this; null with one line.
    std::unique_ptr<prometheus::Exposer> serve(const site::Destination& listen,
                                               QString& error) const;

private:
    void gather(service::Figures& figures) const;

    std::vector<std::string> names_;
    StatusOf statusOf_;
    std::shared_ptr<prometheus::Registry> registry_; // the latency histograms
    std::vector<prometheus::Histogram*> latency_;    // by radar, the registry's
    std::shared_ptr<service::GatheredFigures> counts_;
};

} // namespace trklib::trackd
