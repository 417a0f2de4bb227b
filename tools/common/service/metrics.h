#pragma once

#include <prometheus/collectable.h>
#include <prometheus/labels.h>
#include <prometheus/metric_family.h>

#include <functional>
#include <string>
#include <vector>

// What trackd and sited serve on /metrics, in Prometheus's text exposition
// format (prometheus-cpp): the counts a service keeps for its status anyway,
// read when a scrape asks for them, beside histograms of its own.
namespace trklib::service {

// The upper bounds of a latency histogram's buckets, seconds: 50 us to
// 1 s in steps of 2 to 2.5. The services' latencies are a fraction of a
// millisecond as a rule and tens of milliseconds at worst, so that the
// buckets part the usual from the slow; anything over 1 s falls in +Inf.
const std::vector<double>& latencyBucketsS();

// Samples of counters and gauges, gathered into one family per name in the
// order the names first come; the samples of a family differ by labels.
class Figures
{
public:
    // A counter's name ends in "_total", as Prometheus's counters do.
    void counter(const std::string& name, const std::string& help, double value,
                 const prometheus::Labels& labels = {});
    void gauge(const std::string& name, const std::string& help, double value,
               const prometheus::Labels& labels = {});

    std::vector<prometheus::MetricFamily> take() { return std::move(families_); }

private:
    prometheus::ClientMetric& add(const std::string& name, const std::string& help,
                                  prometheus::MetricType type, const prometheus::Labels& labels);

    std::vector<prometheus::MetricFamily> families_;
};

// Figures that a function gathers afresh at every scrape, from any thread.
class GatheredFigures : public prometheus::Collectable
{
public:
    explicit GatheredFigures(std::function<void(Figures&)> gather) : gather_(std::move(gather)) {}

    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    std::function<void(Figures&)> gather_;
};

// What the collectables hold now, one after the other, as the text a
// scrape is answered with.
std::string exposition(const std::vector<const prometheus::Collectable*>& collectables);

// The content type of that text: Prometheus's text format, version 0.0.4.
constexpr char expositionType[] = "text/plain; version=0.0.4; charset=utf-8";

} // namespace trklib::service
