#include "detection/packetmaxima.h"

#include <QtAlgorithms>

#include <algorithm>
#include <cstring>

namespace trklib::detection {

namespace {

constexpr int wordCells = 8;                      // amplitudes tested at once
constexpr quint64 everyByte = 0x0101010101010101; // one in each byte
constexpr quint64 topBits = 0x8080808080808080;   // the top bit of each byte

// Which of the eight amplitudes (signed bytes) at cells may reach the
// threshold whose negation is spread over the bytes of addend: the top bit
// of the byte of each is set, and of every one that does. Flipping the top
// bits turns -128..127 into 0..255 in the same order, so that a >= threshold
// becomes b >= threshold + 128: a byte below 128 gets there when adding
// -threshold (0..127) sets its top bit, which cannot carry out of it; a byte
// from 128 on has its top bit set already. Its addition may carry into the
// next byte and mark that one too: a cell marked need not reach the
// threshold, but every cell that reaches it is marked.
quint64 mayReach(const signed char* cells, quint64 addend)
{
    static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "byte k of a word holds its k-th cell");
    quint64 word;
    std::memcpy(&word, cells, sizeof word);
    word ^= topBits;
    return ((word + addend) | word) & topBits;
}

} // namespace

// Cell 0 is never a maximum of the result, as in rectifyData; it counts as
// the left neighbour of cell 1 only. Only a cell at or above the threshold
// can be a maximum, so the cells are looked at eight at a time and only
// those that may reach it are tested.
void packetMaxima(const RadarPacketData& packet, const RadarConfig& config, int threshold,
                  QVector<RadarDataMax>& maxima)
{
    maxima.resize(0);
    const int n =
        std::min({packet.amplitude.size(), packet.relVelocity.size(), packet.distance.size(),
                  packet.elevation.size(), packet.azimuth.size()});
    const bool vertical = config.orientation == 1;
    const signed char* amplitudes = packet.amplitude.constData();
    const float* velocities = packet.relVelocity.constData();
    const float* distances = packet.distance.constData();
    const float* elevations = (vertical ? packet.azimuth : packet.elevation).constData();
    const float* azimuths = (vertical ? packet.elevation : packet.azimuth).constData();

    const auto take = [&](int i) {
        const int a = amplitudes[i];
        if (a < threshold || a < amplitudes[i - 1] || (i != n - 1 && a < amplitudes[i + 1]))
            return;
        const double v = velocities[i];
        if (v == 0.0)
            return;
        maxima.append(toMaximum(v < 0.0 ? -i : i, a, distances[i], elevations[i], azimuths[i], v,
                                config.panOffset));
    };

    int first = 1;
    if (threshold > -128 && threshold <= 0) {
        const quint64 addend = everyByte * quint64(-threshold);
        const int words = n / wordCells;
        for (int w = 0; w < words; ++w) {
            const int start = w * wordCells;
            // The marked cells in ascending position: byte k holds cell
            // start + k on a little-endian host.
            for (quint64 marked = mayReach(amplitudes + start, addend); marked != 0;
                 marked &= marked - 1) {
                const int i = start + int(qCountTrailingZeroBits(marked)) / 8;
                if (i >= 1)
                    take(i);
            }
        }
        first = std::max(words * wordCells, 1);
    }
    for (int i = first; i < n; ++i)
        take(i);
}

} // namespace trklib::detection
