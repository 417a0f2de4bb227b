#include "engine/targettracking.h"

#include "detection/packetmaxima.h"
#include "engine/cycle.h"
#include "util/util.h"

namespace trklib {

// The validation path reads a packet like tracking does but stops after the
// maximum search; it never touches the tracking state or the times. Its
// maxima are rectifyData(getRadarData(packet)), taken straight from the
// packet's arrays.

int TargetTracking::getValidationData(QVector<ValidationData>& data)
{
    RadarPacketData packet;
    const int status = getRadarPacket(packet);
    if (status == 0)
        getValidationDataImpl(packet, data);
    return status;
}

void TargetTracking::getValidationFromData(const RadarPacketData& packet,
                                           QVector<ValidationData>& data)
{
    getValidationDataImpl(packet, data);
}

void TargetTracking::getValidationDataImpl(const RadarPacketData& packet,
                                           QVector<ValidationData>& data)
{
    data.resize(0);
    QVector<RadarDataMax>& maxima = CycleScratch::local().maxima;
    detection::packetMaxima(packet, radarConfig_, detectionThreshold(), maxima);
    data.reserve(maxima.size());
    for (const RadarDataMax& m : maxima) {
        ValidationData record;
        record.index = m.index;
        record.elevation = float(m.elevation);
        record.azimuth = float(m.azimuth);
        if (radarConfig_.orientation == 1)
            record.azimuth = -record.azimuth;
        record.distance = float(m.distance);
        record.velocity = float(util::mpsToKph(m.relVelocity));
        data.append(record);
    }
}

} // namespace trklib
