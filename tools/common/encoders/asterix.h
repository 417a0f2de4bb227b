#pragma once

#include <QByteArray>
#include <QVector>

#include <array>
#include <cstdint>

// What the ASTERIX encoders (cat010, cat062) share: every numeric field
// they write, its scale, size and range in one table; a record writer that
// keeps the FSPEC; and the data blocks that carry records over UDP.
namespace trklib::encoders::asterix {

// The numeric fields of the items that the encoders write.
enum class FieldId : int
{
    Cat010TimeOfDay, // I010/140
    Cat010Latitude,  // I010/041
    Cat010Longitude,
    Cat010Rho, // I010/040
    Cat010Theta,
    Cat010X, // I010/042
    Cat010Y,
    Cat010TrackNumber, // I010/161
    Cat062TimeOfDay,   // I062/070
    Cat062Latitude,    // I062/105
    Cat062Longitude,
    Cat062X, // I062/100
    Cat062Y,
    Cat062Vx, // I062/185
    Cat062Vy,
    Cat062TrackNumber, // I062/040
};
constexpr int fieldCount = int(FieldId::Cat062TrackNumber) + 1;

// How a field maps a value to its bits. A value is rounded to the nearest
// LSB. A field with a modulus is circular (a bearing, a longitude, the time
// of day, a track number): the rounded value is taken modulo it, which
// names the same bearing, meridian, instant of the day or track. Any other
// field holds [min, max] LSBs of its signed or unsigned bits, and a value
// outside is clamped to the nearest end and counted, never wrapped.
struct Field
{
    const char* name; // "I010/042 X"
    const char* unit;
    double lsb;              // units per LSB
    int bits;                // written in (bits + 7) / 8 bytes, high bits zero
    bool isSigned;           // two's complement
    std::int64_t modulusLsb; // 0: clamped
    std::int64_t minLsb() const;
    std::int64_t maxLsb() const;
};

const Field& field(FieldId id);

// How many values each field clamped (NaN included: written as 0).
struct ClampCounts
{
    std::array<std::uint64_t, fieldCount> byField{};
    std::uint64_t total() const;
};

// The field's LSBs for value, within the field's range; clamped says
// whether the value lay outside (and was counted by the caller).
std::int64_t encode(FieldId id, double value, bool& clamped);

// The value that LSBs stand for: what a decoder reads.
double decode(FieldId id, std::int64_t lsb);

// One record: items appended in the order of the category's user
// application profile (FRN 1, 2, ...), each marked in the FSPEC.
class RecordWriter
{
public:
    explicit RecordWriter(ClampCounts& counts) : counts_(counts) {}

    // The FSPEC holds this many items (nine bytes of seven).
    static constexpr int maxFrn = 63;

    // Starts the item of field reference number frn (from 1 to maxFrn),
    // which must follow the previous one. False for any other: the item is
    // refused and counted, and what is written of it (bytes, fields) until
    // the next item is left out, so that the record stays one a decoder
    // reads.
    bool item(int frn);
    void byte(std::uint8_t value);
    void field(FieldId id, double value);
    // The FSPEC (with its extension bits) and the items.
    QByteArray record() const;
    // Items refused so far.
    int refusedItems() const { return refused_; }

private:
    ClampCounts& counts_;
    QByteArray body_;
    std::uint64_t present_ = 0; // bit frn - 1
    int lastFrn_ = 0;
    bool skipping_ = false; // within a refused item
    int refused_ = 0;
};

// A UDP datagram stays within 1400 bytes: under a 1500-byte Ethernet MTU
// with room for IP options and tunnels, so that no datagram is fragmented.
constexpr int maxDatagramBytes = 1400;
// CAT (1 byte) and LEN (2 bytes) of a data block.
constexpr int blockHeaderBytes = 3;

// The records in data blocks of one category, in their order, each block
// at most maxBytes long (one per datagram). No records: no blocks.
QVector<QByteArray> dataBlocks(std::uint8_t category, const QVector<QByteArray>& records,
                               int maxBytes = maxDatagramBytes);

// Milliseconds since the epoch (UTC) as seconds since midnight UTC.
double secondsOfDay(std::int64_t epochMs);

} // namespace trklib::encoders::asterix
