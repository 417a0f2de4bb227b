#pragma once

#include "tools/common/sim/simrandom.h"

#include <QByteArray>
#include <QVector>

namespace trklib::sim {

// Spoils the datagrams of a packet the way a poor network would, for tests of
// the receiving side: each datagram is lost with one probability, and swapped
// with the one after it with another. Reordering stays within one packet.
class DatagramShaper
{
public:
    DatagramShaper(double lossProbability, double reorderProbability, quint64 seed);

    QVector<QByteArray> shape(QVector<QByteArray> datagrams);

private:
    double lossProbability_;
    double reorderProbability_;
    SimRandom random_;
};

} // namespace trklib::sim
