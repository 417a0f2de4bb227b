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

// The engine behind TargetTrackingInterface: owns the socket and the datagram
// assembler, keeps the tracking state of the two velocity streams and runs
// one cycle per packet. The stages are public so that tools and tests can drive them.
class TRKLIB_EXPORT TargetTracking
{
public:
    static constexpr quint32 radarPort = wire::defaultPort;

    TargetTracking();
    ~TargetTracking();

    TargetTracking(const TargetTracking&) = delete;
    TargetTracking& operator=(const TargetTracking&) = delete;

    void connect();
    // Binds as configured; see TargetTrackingInterface::connect.
    bool connect(const ReceiverConfig& config);
    void disconnect();
    RadarConfig& radarConfig() { return radarConfig_; }
    // Sets the packet times (ms). The elapsed time current - previous
    // saturates at the limits of long instead of overflowing, for packets
    // whose timestamps lie more than 2^63 ms apart.
    void setTimes(long previous, long current);
    void resetTracking();

    // Packet handling: 0 success, 1 read error, 2 parse error.
    int getTargets(long& timestamp, QVector<TargetData>& targets, RadarPacketData& packet);
    int getTargets(long& timestamp, QVector<TargetData>& targets);
    void getTargetsFromData(const RadarPacketData& packet, long& timestamp,
                            QVector<TargetData>& targets);
    void getTargetsImpl(const RadarPacketData& packet, long& timestamp,
                        QVector<TargetData>& targets);
    void performTracking(const RadarPacketData& packet);
    int getRadarPacket(RadarPacketData& packet) const;

    // Validation output: the packet's maxima before any tracking.
    int getValidationData(QVector<ValidationData>& data);
    void getValidationFromData(const RadarPacketData& packet, QVector<ValidationData>& data);
    void getValidationDataImpl(const RadarPacketData& packet, QVector<ValidationData>& data);

    // The reception counters since construction.
    ReceptionStats receptionStats() const;
    // Datagrams dropped because they came from another sender than the
    // one the engine follows; see TargetTrackingInterface.
    std::uint64_t competingDatagrams() const;

    // Detection stages.
    QVector<RadarData> getRadarData(const RadarPacketData& packet) const;
    QVector<int> getMaxAmplitudeIndices(const QVector<RadarData>& cells, int threshold) const;
    QVector<RadarDataMax> rectifyData(const QVector<RadarData>& cells) const;
    double estimateByAmplitude(const QVector<RadarData>& cells, int cellPosition) const;
    double estimateByAmplitudeVessik(int cellIndex, int centerLevel, int leftLevel,
                                     int rightLevel) const;
    void checkHarmonics(QVector<RadarDataMax>& maxima) const;
    bool removeDupMaxs(QVector<RadarDataMax>& maxima, const RadarDataMax& max) const;

    // Tracking stages.
    QVector<Candidate> createCandidates(const QVector<RadarDataMax>& maxima);
    QVector<Target> createTargets(QVector<Candidate>& previousCandidates,
                                  QVector<Candidate>& currentCandidates);
    void matchCandidates(QVector<Target>& targets, QVector<Candidate>& candidates);
    void checkTargets(const QVector<Target>& newTargets, QVector<Target>& targets);
    void algorithmConvoy(const QVector<RadarDataMax>& maxima);

    // Read access to the state, for tools and tests.
    bool isInitialized() const { return initialized_; }
    long previousTime() const { return previousTime_; }
    long currentTime() const { return currentTime_; }
    long timeDelta() const { return timeDelta_; }
    const QVector<Candidate>& negativeCandidates() const { return negativeCandidates_; }
    const QVector<Candidate>& positiveCandidates() const { return positiveCandidates_; }
    const QVector<Target>& negativeTargets() const { return negativeTargets_; }
    const QVector<Target>& positiveTargets() const { return positiveTargets_; }
    double snrThreshold() const { return snrThreshold_; }
    double noiseLevel() const { return noiseLevel_; }

private:
    // The amplitude a maximum needs, dB, truncated: -70 dB.
    int detectionThreshold() const { return int(snrThreshold_ + noiseLevel_); }

    bool initialized_ = false;
    // The last target number this engine handed out (1..255, 0 for none
    // yet): every engine numbers its own targets. It sits in what was
    // padding after initialized_, so that the engine's size and the places
    // of its members stay as they were.
    quint8 lastTargetNumber_ = 0;
    long previousTime_ = 0; // ms
    long currentTime_ = 0;  // ms
    long timeDelta_ = 0;    // ms
    RadarConfig radarConfig_{};
    std::unique_ptr<RadarSocket> socket_;
    std::unique_ptr<DatagramAssembler> assembler_;
    QVector<Candidate> negativeCandidates_;
    QVector<Candidate> positiveCandidates_;
    QVector<Target> negativeTargets_;
    QVector<Target> positiveTargets_;
    double snrThreshold_ = 10.0; // dB above the noise level
    double noiseLevel_ = -80.0;  // dB
};

} // namespace trklib
