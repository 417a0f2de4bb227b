#pragma once

#include "tools/common/service/metrics.h"
#include "tools/common/site/siteconfig.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace prometheus {
class Counter;
class Histogram;
class Registry;
} // namespace prometheus

namespace trklib::sited {

// What sited's status loop knows each second, for monitoring.
struct SiteFigures
{
    int objects = 0;
    std::uint64_t lateMessages = 0; // tracks messages fusion did not apply: too old
    std::int64_t events = 0;        // raised by the zones' rules
    int recorderWaiting = 0;        // records in the history's queue
    std::optional<std::int64_t> databaseBytes;
    // Each camera: its name, online, the motion commands sent and the
    // requests that failed.
    struct Camera
    {
        std::string name;
        bool online = false;
        std::int64_t commands = 0;
        std::int64_t errors = 0;
    };
    std::vector<Camera> cameras;
};

// sited's figures on /metrics: every picture as it is published, with its
// latency, and the rest as of the last status.
class SiteMetrics
{
public:
    SiteMetrics();
    ~SiteMetrics();

    SiteMetrics(const SiteMetrics&) = delete;
    SiteMetrics& operator=(const SiteMetrics&) = delete;

    // A picture published latencyS seconds after its time.
    void picturePublished(double latencyS);
    void update(const SiteFigures& figures);

    // Everything as the text a scrape is answered with; from any thread.
    std::string text() const;

private:
    void gather(service::Figures& figures) const;

    std::shared_ptr<prometheus::Registry> registry_;
    prometheus::Counter* pictures_ = nullptr; // the registry's
    prometheus::Histogram* latency_ = nullptr;
    service::GatheredFigures status_;
    mutable std::mutex mutex_;
    SiteFigures figures_;
};

} // namespace trklib::sited
