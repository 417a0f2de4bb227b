#include "tools/common/service/brokeroutage.h"

#include <algorithm>

namespace trklib::service {

std::chrono::seconds RetrySchedule::failed()
{
    failedTries_ = std::min(failedTries_ + 1, int(longest / first));
    return first * failedTries_;
}

QString brokerAddress(const site::BrokerConfig& broker)
{
    return QStringLiteral("%1:%2").arg(broker.host).arg(broker.port);
}

bool BrokerOutage::begin(std::uint64_t unsent)
{
    if (inOutage_)
        return false;
    inOutage_ = true;
    start_ = Clock::now();
    unsentAtStart_ = unsent;
    return true;
}

BrokerOutage::Ended BrokerOutage::connected(std::uint64_t unsent)
{
    Ended ended;
    if (inOutage_) {
        ended.kind = Ended::Kind::Outage;
        ended.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        ended.unsent = unsentSince(unsent);
    } else if (!everConnected_) {
        ended.kind = Ended::Kind::First;
    }
    inOutage_ = false;
    everConnected_ = true;
    return ended;
}

QString BrokerOutage::begunLine(const QString& what) const
{
    return QStringLiteral("%1; %2 are counted and dropped until it is back, with at most %3 s "
                          "between tries")
        .arg(what, dropped_)
        .arg(RetrySchedule::longest.count());
}

} // namespace trklib::service
