#include "tools/common/service/metrics.h"

#include <prometheus/text_serializer.h>

#include <algorithm>

namespace trklib::service {

const std::vector<double>& latencyBucketsS()
{
    static const std::vector<double> buckets{0.00005, 0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                             0.01,    0.025,  0.05,    0.1,    0.25,  0.5,    1.0};
    return buckets;
}

void Figures::counter(const std::string& name, const std::string& help, double value,
                      const prometheus::Labels& labels)
{
    add(name, help, prometheus::MetricType::Counter, labels).counter.value = value;
}

void Figures::gauge(const std::string& name, const std::string& help, double value,
                    const prometheus::Labels& labels)
{
    add(name, help, prometheus::MetricType::Gauge, labels).gauge.value = value;
}

prometheus::ClientMetric& Figures::add(const std::string& name, const std::string& help,
                                       prometheus::MetricType type,
                                       const prometheus::Labels& labels)
{
    auto family = std::find_if(families_.begin(), families_.end(),
                               [&](const prometheus::MetricFamily& f) { return f.name == name; });
    if (family == families_.end()) {
        families_.push_back({name, help, type, {}});
        family = families_.end() - 1;
    }
    prometheus::ClientMetric& metric = family->metric.emplace_back();
    for (const auto& [labelName, value] : labels)
        metric.label.push_back({labelName, value});
    return metric;
}

std::vector<prometheus::MetricFamily> GatheredFigures::Collect() const
{
    Figures figures;
    gather_(figures);
    return figures.take();
}

std::string exposition(const std::vector<const prometheus::Collectable*>& collectables)
{
    std::vector<prometheus::MetricFamily> families;
    for (const prometheus::Collectable* collectable : collectables) {
        std::vector<prometheus::MetricFamily> more = collectable->Collect();
        std::move(more.begin(), more.end(), std::back_inserter(families));
    }
    return prometheus::TextSerializer().Serialize(families);
}

} // namespace trklib::service
