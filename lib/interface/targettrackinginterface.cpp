#include "interface/targettrackinginterface.h"

#include "engine/targettracking.h"

namespace trklib {

TargetTrackingInterface::TargetTrackingInterface() : impl_(std::make_unique<TargetTracking>()) {}

TargetTrackingInterface::~TargetTrackingInterface() = default;

void TargetTrackingInterface::connect()
{
    impl_->connect();
}

bool TargetTrackingInterface::connect(const ReceiverConfig& config)
{
    return impl_->connect(config);
}

void TargetTrackingInterface::disconnect()
{
    impl_->disconnect();
}

void TargetTrackingInterface::resetTracking()
{
    impl_->resetTracking();
}

RadarConfig& TargetTrackingInterface::radarConfig()
{
    return impl_->radarConfig();
}

void TargetTrackingInterface::radarConfig(const RadarConfig& config)
{
    impl_->radarConfig() = config;
}

// The caller's vector gets a fresh allocation of exactly the reported size;
// it is built first, so an allocation failure leaves the caller's vector as
// it was.
int TargetTrackingInterface::getTargets(long& timestamp, std::vector<TargetData>& targets)
{
    QVector<TargetData> reported;
    const int status = impl_->getTargets(timestamp, reported);
    if (status == 0) {
        std::vector<TargetData> copy(reported.cbegin(), reported.cend());
        targets.swap(copy);
    }
    return status;
}

void TargetTrackingInterface::targetReflectivity(
    std::vector<TargetReflectivity>& reflectivity) const
{
    QVector<TargetReflectivity> reported;
    impl_->targetReflectivity(reported);
    reflectivity.assign(reported.cbegin(), reported.cend());
}

int TargetTrackingInterface::getValidationData(std::vector<ValidationData>& data)
{
    QVector<ValidationData> reported;
    const int status = impl_->getValidationData(reported);
    if (status == 0) {
        std::vector<ValidationData> copy(reported.cbegin(), reported.cend());
        data.swap(copy);
    }
    return status;
}

ReceptionStats TargetTrackingInterface::receptionStats() const
{
    return impl_->receptionStats();
}

std::uint64_t TargetTrackingInterface::competingDatagrams() const
{
    return impl_->competingDatagrams();
}

} // namespace trklib
