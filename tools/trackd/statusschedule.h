#pragma once

#include "messages.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

namespace trklib::trackd {

// When a radar's status is published, and its packet rate. The status is
// due once a second, at once when its condition changes (an error counter,
// the senders; not the packet count, which moves all the time), and after
// every (re)connection to the broker. It is looked at every tick (100 ms),
// which also bounds how often a storm of bad datagrams can publish.
class StatusSchedule
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::milliseconds tick{100};
    static constexpr std::chrono::seconds period{1};
    // The rate is taken over this much of the past.
    static constexpr std::chrono::seconds rateWindow{5};

    // Fills in status.ratePps from the packet counts seen so far, and says
    // whether the status is due.
    bool update(RadarStatus& status, Clock::time_point now, bool connected);
    // The status went out.
    void published(const RadarStatus& status, Clock::time_point now);

private:
    std::deque<std::pair<Clock::time_point, std::uint64_t>> samples_; // oldest first
    std::optional<RadarStatus> last_;
    Clock::time_point lastTime_;
};

} // namespace trklib::trackd
