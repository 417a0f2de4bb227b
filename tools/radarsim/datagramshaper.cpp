#include "datagramshaper.h"

#include <utility>

namespace trklib::sim {

DatagramShaper::DatagramShaper(double lossProbability, double reorderProbability, quint64 seed)
    : lossProbability_(lossProbability), reorderProbability_(reorderProbability), random_(seed)
{}

QVector<QByteArray> DatagramShaper::shape(QVector<QByteArray> datagrams)
{
    if (reorderProbability_ > 0.0) {
        for (int i = 0; i + 1 < datagrams.size(); ++i) {
            if (random_.chance(reorderProbability_)) {
                std::swap(datagrams[i], datagrams[i + 1]);
                ++i; // a datagram moves by one place at most
            }
        }
    }
    if (lossProbability_ <= 0.0)
        return datagrams;
    QVector<QByteArray> kept;
    kept.reserve(datagrams.size());
    for (const QByteArray& d : qAsConst(datagrams)) {
        if (!random_.chance(lossProbability_))
            kept.append(d);
    }
    return kept;
}

} // namespace trklib::sim
