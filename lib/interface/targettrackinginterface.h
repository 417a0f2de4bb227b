#pragma once

#include "input/wireformat.h"
#include "interface/export.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace trklib {

class TargetTracking;

/// The radar's mounting. Field order and types are part of the binary interface.
struct RadarConfig
{
    double tilt;              ///< degrees
    double pan;               ///< degrees
    double height;            ///< metres above the ground
    double panOffset;         ///< degrees, added to every detection's azimuth
    std::int32_t orientation; ///< 0 = horizontal, 1 = vertical mounting
};

/// One reported target. Field order and types are part of the binary interface.
struct TargetData
{
    std::int32_t number; ///< 1 to 255
    double elevation;    ///< degrees, ground point under the target, relative to the tilt
    double azimuth;      ///< degrees, relative to the pan, sign reversed for vertical mounting
    double distance;     ///< metres, slant range
    double velocity;     ///< km/h, signed
    bool confirmed;      ///< a detection updated the target in this packet
};

/// The reflectivity of one reported target: the radar cross-section samples
/// the tracker took of it, one a cycle while it lives (a missed cycle's at
/// the predicted position). Field order and types are part of the binary
/// interface.
struct TargetReflectivity
{
    std::int32_t number;   ///< the TargetData::number of the target
    double meanDbsm;       ///< dBsm, mean of the samples
    double maxDbsm;        ///< dBsm, largest sample
    double lastDbsm;       ///< dBsm, the latest sample
    std::uint32_t samples; ///< samples taken
};

/// One amplitude maximum of a packet, before tracking. Single precision.
struct ValidationData
{
    std::int32_t index; ///< signed cell index: negative for a negative radial velocity
    float elevation;    ///< degrees, radar frame
    float azimuth;      ///< degrees, radar frame plus pan offset, mirrored for vertical mounting
    float distance;     ///< metres
    float velocity;     ///< km/h, radial
};

/// Where the library listens, and to whom: for connect(const ReceiverConfig&).
struct ReceiverConfig
{
    /// Empty: every interface, IPv4 and IPv6. Otherwise an IPv4 or IPv6
    /// address literal (`192.168.10.2`, `fe80::1%eth0`) of this host.
    std::string bindAddress;
    /// The local UDP port, 1 to 65535.
    std::uint16_t port = wire::defaultPort;
    /// Empty: datagrams of any sender are used. Otherwise an IPv4 or IPv6
    /// address literal: only datagrams whose source address equals it are
    /// used; the others are counted as foreign and dropped. Either way one
    /// sender (address and port) is followed at a time; see TargetTrackingInterface.
    std::string radarAddress;
};

/// What the library has received since the facade was made (counts never
/// restart; compare two readings for rates).
struct ReceptionStats
{
    std::uint64_t datagrams = 0;        ///< read from the socket, foreign ones included
    std::uint64_t foreignDatagrams = 0; ///< dropped: not from the radar address
    std::uint64_t strayDatagrams = 0;   ///< belonged to no packet, or broke a block
    std::uint64_t packets = 0;          ///< whole packets delivered
    std::uint64_t abandonedPackets = 0; ///< begun and never completed
    std::uint64_t badHeaders = 0;       ///< header datagrams with a bad sync, version or size
    std::uint64_t readErrors = 0;       ///< calls that ended with status 1
    std::uint32_t senders = 0;          ///< distinct senders (address and port) heard, up to 1024
    /// The receive buffer as the kernel reports it: Linux reports twice what
    /// it grants, and grants at most net.core.rmem_max of the 1 MiB asked
    /// for. 0 while not bound.
    std::int32_t receiveBufferBytes = 0;
};

/// The library's facade. Every call is synchronous and runs on the caller's
/// thread; one facade must be used from one thread.
///
/// Status codes of getTargets and getValidationData: 0 success, 1 read error
/// (no datagram within one second, or the socket is not bound), 2 parse error
/// (a header datagram with a bad sync pattern, version or header size). On 1
/// and 2 the output arguments are left exactly as they were.
///
/// How long a call waits: until a whole packet has arrived (0), a bad header
/// arrives (2), or time runs out (1). Time runs out when no datagram has
/// advanced a packet for one second (datagrams of other senders, strays and
/// empty datagrams advance none), and every packet in progress is then given
/// up; or when the call has lasted two seconds whatever arrives, and packets
/// in progress are then kept for the next call. A radar that sends its
/// packets normally never meets either limit.
///
/// The facade follows one sender (address and port) at a time, since an
/// engine fed by two radars tracks neither: the first sender heard (that
/// passes the radar address filter, when one is set) is followed, and
/// datagrams of every other sender are counted as competing and dropped
/// while it is alive. Another sender takes over when the followed one has
/// been silent for 2 s or more: its first datagram that arrives
/// 2,000,000 us or more after the followed sender's last one (1,999,999 us
/// is not enough). The packet the old sender had in progress is given up.
/// Times are those at which the kernel took the datagrams in (the system
/// clock), so a caller that falls behind still sees the senders' own
/// pauses. Radars that share a port need a facade each, with its radar
/// address set.
class TRKLIB_EXPORT TargetTrackingInterface
{
public:
    TargetTrackingInterface();
    ~TargetTrackingInterface();

    TargetTrackingInterface(const TargetTrackingInterface&) = delete;
    TargetTrackingInterface& operator=(const TargetTrackingInterface&) = delete;

    /// Binds UDP port 34567 on every interface and takes datagrams of any
    /// sender. A failure shows up as read errors.
    void connect();
    /// Binds as configured. False, with the socket left unbound (reads then
    /// fail with 1), when an address is neither empty nor an IPv4 or IPv6
    /// literal, the port is 0, or the bind fails (the port is taken, or the
    /// address is not one of this host's).
    bool connect(const ReceiverConfig& config);
    /// Unbinds the socket; the tracking state is kept.
    void disconnect();
    /// Forgets all candidates and targets, restarts the time base and the numbering.
    void resetTracking();

    /// The engine's configuration; writes take effect with the next packet.
    RadarConfig& radarConfig();
    /// Replaces the engine's configuration; it takes effect with the next packet.
    void radarConfig(const RadarConfig& config);

    /// Reads and tracks one packet; reports its timestamp (ms) and numbered targets.
    int getTargets(long& timestamp, std::vector<TargetData>& targets);
    /// The reflectivity of the targets the last successful getTargets
    /// reported, one for each and in the same order; empty before the first
    /// and after resetTracking.
    void targetReflectivity(std::vector<TargetReflectivity>& reflectivity) const;
    /// Reads one packet and reports its amplitude maxima, without tracking it.
    int getValidationData(std::vector<ValidationData>& data);

    /// The reception counters since construction.
    ReceptionStats receptionStats() const;
    /// Datagrams dropped since construction because another sender was
    /// followed (they count in ReceptionStats::datagrams too, not as
    /// foreign or stray).
    std::uint64_t competingDatagrams() const;

private:
    std::unique_ptr<TargetTracking> impl_;
};

} // namespace trklib
