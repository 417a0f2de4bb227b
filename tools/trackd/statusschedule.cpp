#include "statusschedule.h"

#include <cmath>

namespace trklib::trackd {

namespace {

constexpr double rateSteps = 100.0; // the rate is given to 0.01 packets per second

} // namespace

bool StatusSchedule::update(RadarStatus& status, Clock::time_point now, bool connected)
{
    // Samples older than the window go, except the newest of them, which
    // marks its start. Until the window has passed once, the rate is taken
    // over the time there is.
    samples_.emplace_back(now, status.packets);
    while (samples_.size() > 2 && now - samples_[1].first >= rateWindow)
        samples_.pop_front();
    const double seconds = std::chrono::duration<double>(now - samples_.front().first).count();
    const double packets = double(status.packets - samples_.front().second);
    status.ratePps = seconds > 0.0 ? std::round(packets / seconds * rateSteps) / rateSteps : 0.0;

    return connected || !last_ || now - lastTime_ >= period || !status.sameCondition(*last_);
}

void StatusSchedule::published(const RadarStatus& status, Clock::time_point now)
{
    last_ = status;
    lastTime_ = now;
}

} // namespace trklib::trackd
