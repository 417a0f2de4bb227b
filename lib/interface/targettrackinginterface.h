#pragma once

#include "interface/export.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace trklib {

class TargetTracking;

// The radar's mounting. Field order and types are part of the binary interface.
struct RadarConfig
{
    double tilt;              // degrees
    double pan;               // degrees
    double height;            // metres above the ground
    double panOffset;         // degrees, added to every detection's azimuth
    std::int32_t orientation; // 0 = horizontal, 1 = vertical mounting
};

// One reported target. Field order and types are part of the binary interface.
struct TargetData
{
    std::int32_t number; // 1 to 255
    double elevation;    // degrees, ground point under the target, relative to the tilt
    double azimuth;      // degrees, relative to the pan, sign reversed for vertical mounting
    double distance;     // metres, slant range
    double velocity;     // km/h, signed
    bool confirmed;      // a detection updated the target in this packet
};

// One amplitude maximum of a packet, before tracking. Single precision.
struct ValidationData
{
    std::int32_t index; // signed cell index: negative for a negative radial velocity
    float elevation;    // degrees, radar frame
    float azimuth;      // degrees, radar frame plus pan offset, sign reversed for vertical mounting
    float distance;     // metres
    float velocity;     // km/h, radial
};

// The library's facade. Every call is synchronous and runs on the caller's
// thread; one facade must be used from one thread.
//
// Status codes of getTargets and getValidationData: 0 success, 1 read error
// (no datagram within one second, or the socket is not bound), 2 parse error
// (a header datagram with a bad sync pattern, version or header size). On 1
// and 2 the output arguments are left exactly as they were.
class TRKLIB_EXPORT TargetTrackingInterface
{
public:
    TargetTrackingInterface();
    ~TargetTrackingInterface();

    TargetTrackingInterface(const TargetTrackingInterface&) = delete;
    TargetTrackingInterface& operator=(const TargetTrackingInterface&) = delete;

    // Binds UDP port 34567 on every interface. A failure shows up as read errors.
    void connect();
    // Unbinds the socket; the tracking state is kept.
    void disconnect();
    // Forgets all candidates and targets, restarts the time base and the numbering.
    void resetTracking();

    // The engine's configuration; writes take effect with the next packet.
    RadarConfig& radarConfig();
    void radarConfig(const RadarConfig& config);

    // Reads and tracks one packet; reports its timestamp (ms) and numbered targets.
    int getTargets(long& timestamp, std::vector<TargetData>& targets);
    // Reads one packet and reports its amplitude maxima, without tracking it.
    int getValidationData(std::vector<ValidationData>& data);

private:
    std::unique_ptr<TargetTracking> impl_;
};

} // namespace trklib
