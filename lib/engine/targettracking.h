#pragma once

#include "detection/radardatamax.h"
#include "input/radardata.h"
#include "input/radarpacketdata.h"
#include "input/wireformat.h"
#include "interface/export.h"
#include "interface/targettrackinginterface.h"
#include "tracking/candidate.h"
#include "tracking/target.h"

#include <QVector>

#include <memory>

namespace trklib {

class DatagramAssembler;
class RadarSocket;

/// The engine behind TargetTrackingInterface: owns the socket and the datagram
/// assembler, keeps the tracking state of the two velocity streams and runs
/// one cycle per packet. The stages are public so that tools and tests can drive them.
class TRKLIB_EXPORT TargetTracking
{
public:
    /// The UDP port connect() binds: wire::defaultPort.
    static constexpr quint32 radarPort = wire::defaultPort;

    TargetTracking();
    ~TargetTracking();

    TargetTracking(const TargetTracking&) = delete;
    TargetTracking& operator=(const TargetTracking&) = delete;

    /// Binds UDP port radarPort on every interface; see TargetTrackingInterface::connect().
    void connect();
    /// Binds as configured; see TargetTrackingInterface::connect.
    bool connect(const ReceiverConfig& config);
    /// Unbinds the socket; the tracking state is kept.
    void disconnect();
    /// The mounting the engine tracks with; writes take effect with the next packet.
    RadarConfig& radarConfig() { return radarConfig_; }
    /// Sets the packet times (ms). The elapsed time current - previous
    /// saturates at the limits of long instead of overflowing, for packets
    /// whose timestamps lie more than 2^63 ms apart.
    void setTimes(long previous, long current);
    /// Forgets all candidates and targets, restarts the time base and the numbering.
    void resetTracking();

    /// Reads one packet from the socket and tracks it; the packet read is
    /// left in packet. Returns 0 success, 1 read error, 2 parse error, as
    /// TargetTrackingInterface::getTargets does.
    int getTargets(long& timestamp, QVector<TargetData>& targets, RadarPacketData& packet);
    /// The same without the packet.
    int getTargets(long& timestamp, QVector<TargetData>& targets);
    /// The reflectivity of the targets the last tracked packet reported, one
    /// for each and in the same order; see TargetTrackingInterface.
    void targetReflectivity(QVector<TargetReflectivity>& reflectivity) const;
    /// Tracks a packet the caller read or made itself, as if it had been
    /// received; the socket is not touched.
    void getTargetsFromData(const RadarPacketData& packet, long& timestamp,
                            QVector<TargetData>& targets);
    /// Tracks one packet: the first packet after construction or a reset only
    /// sets the time base (no targets); later ones run one cycle and report
    /// the numbered targets of both velocity streams. timestamp is the
    /// packet's time (ms).
    void getTargetsImpl(const RadarPacketData& packet, long& timestamp,
                        QVector<TargetData>& targets);
    /// One tracking cycle on the packet's maxima, with the times already set.
    void performTracking(const RadarPacketData& packet);
    /// Reads one whole packet from the socket: 0 success, 1 read error, 2
    /// parse error; on 1 and 2 packet is left as it was.
    int getRadarPacket(RadarPacketData& packet) const;

    /// Reads one packet and reports its maxima before any tracking: 0, 1 or
    /// 2 as getTargets. The tracking state and the times are not touched.
    int getValidationData(QVector<ValidationData>& data);
    /// The maxima of a packet the caller read or made itself.
    void getValidationFromData(const RadarPacketData& packet, QVector<ValidationData>& data);
    /// The maxima of one packet as ValidationData: radar frame, km/h, the
    /// azimuth mirrored for vertical mounting.
    void getValidationDataImpl(const RadarPacketData& packet, QVector<ValidationData>& data);

    /// The reception counters since construction.
    ReceptionStats receptionStats() const;
    /// Datagrams dropped because they came from another sender than the
    /// one the engine follows; see TargetTrackingInterface.
    std::uint64_t competingDatagrams() const;

    /// Detection stage: the packet's cells widened to RadarData, the mounting
    /// orientation applied; as many cells as the shortest of its arrays.
    QVector<RadarData> getRadarData(const RadarPacketData& packet) const;
    /// Detection stage: positions of the local amplitude maxima at or above
    /// threshold (dB).
    QVector<int> getMaxAmplitudeIndices(const QVector<RadarData>& cells, int threshold) const;
    /// Detection stage: the maxima of one packet in tracker units (m/s), in
    /// ascending cell position; cell 0 and zero-velocity cells are dropped.
    QVector<RadarDataMax> rectifyData(const QVector<RadarData>& cells) const;
    /// Detection stage: the sub-cell position of the maximum at cellPosition
    /// from its neighbours' amplitudes.
    double estimateByAmplitude(const QVector<RadarData>& cells, int cellPosition) const;
    /// Detection stage: cellIndex shifted by up to half a cell towards the
    /// stronger neighbour; the levels are dB above the noise.
    double estimateByAmplitudeVessik(int cellIndex, int centerLevel, int leftLevel,
                                     int rightLevel) const;
    /// Detection stage: removes the harmonics of strong reflectors from maxima.
    void checkHarmonics(QVector<RadarDataMax>& maxima) const;
    /// Detection stage: removes the near-duplicates of max (within 1 km/h
    /// and 2 m) that have a lower index; false as soon as one with an equal
    /// or higher index represents it.
    bool removeDupMaxs(QVector<RadarDataMax>& maxima, const RadarDataMax& max) const;

    /// Tracking stage: one Candidate per maximum, placed in the mounting
    /// frame; none when a packet has more than 100 maxima.
    QVector<Candidate> createCandidates(const QVector<RadarDataMax>& maxima);
    /// Tracking stage: new targets from detections in two consecutive
    /// packets. Each leftover of the previous cycle, moved on to now, takes
    /// the current candidates inside its gates, which leave currentCandidates;
    /// the rest of currentCandidates is sorted strongest first.
    QVector<Target> createTargets(QVector<Candidate>& previousCandidates,
                                  QVector<Candidate>& currentCandidates);
    /// Tracking stage: each target, oldest first, is moved on to now, takes
    /// the candidates inside its gates (they leave candidates) and is updated
    /// or missed; targets that became invalid are removed.
    void matchCandidates(QVector<Target>& targets, QVector<Candidate>& candidates);
    /// Tracking stage: adds newTargets to targets, except those close to an
    /// existing target, which update it instead.
    void checkTargets(const QVector<Target>& newTargets, QVector<Target>& targets);
    /// One tracking cycle: the candidates split by the sign of their axial
    /// velocity into two streams, each of which updates its targets, makes
    /// new ones and keeps its leftovers for the next cycle.
    void algorithmConvoy(const QVector<RadarDataMax>& maxima);

    /// True once a packet has set the time base.
    bool isInitialized() const { return initialized_; }
    /// The time of the packet before the last one tracked, ms.
    long previousTime() const { return previousTime_; }
    /// The time of the last packet tracked, ms.
    long currentTime() const { return currentTime_; }
    /// currentTime() - previousTime(), ms, saturated; see setTimes().
    long timeDelta() const { return timeDelta_; }
    /// The leftover candidates of the last cycle with a negative axial velocity.
    const QVector<Candidate>& negativeCandidates() const { return negativeCandidates_; }
    /// The leftover candidates of the last cycle with a positive axial velocity.
    const QVector<Candidate>& positiveCandidates() const { return positiveCandidates_; }
    /// The targets with a negative axial velocity, oldest first.
    const QVector<Target>& negativeTargets() const { return negativeTargets_; }
    /// The targets with a positive axial velocity, oldest first.
    const QVector<Target>& positiveTargets() const { return positiveTargets_; }
    /// The amplitude a maximum needs above the noise level, dB.
    double snrThreshold() const { return snrThreshold_; }
    /// The noise level the detection threshold and the gates assume, dB.
    double noiseLevel() const { return noiseLevel_; }

private:
    /// The amplitude a maximum needs, dB, truncated: -70 dB.
    int detectionThreshold() const { return int(snrThreshold_ + noiseLevel_); }

    bool initialized_ = false;
    /// The last target number this engine handed out (1..255, 0 for none
    /// yet): every engine numbers its own targets. It sits in what was
    /// padding after initialized_, so that the engine's size and the places
    /// of its members stay as they were.
    quint8 lastTargetNumber_ = 0;
    long previousTime_ = 0; ///< ms
    long currentTime_ = 0;  ///< ms
    long timeDelta_ = 0;    ///< ms
    RadarConfig radarConfig_{};
    std::unique_ptr<RadarSocket> socket_;
    std::unique_ptr<DatagramAssembler> assembler_;
    QVector<Candidate> negativeCandidates_;
    QVector<Candidate> positiveCandidates_;
    QVector<Target> negativeTargets_;
    QVector<Target> positiveTargets_;
    double snrThreshold_ = 10.0; ///< dB above the noise level
    double noiseLevel_ = -80.0;  ///< dB
};

} // namespace trklib
