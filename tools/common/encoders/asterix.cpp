#include "tools/common/encoders/asterix.h"

#include "util/units.h"

#include <algorithm>
#include <cmath>

namespace trklib::encoders::asterix {

namespace {

constexpr std::int64_t secondsPerDay = 86400;
using util::msPerDay;
// Time of day: 1/128 s, in 24 bits, modulo a day.
constexpr double timeLsbS = 1.0 / 128.0;
constexpr std::int64_t dayLsb = secondsPerDay * 128;
// I010/041: WGS-84 degrees in 32 bits, 180/2^31 per LSB.
constexpr double wgs32LsbDeg = 180.0 / 2147483648.0;
// I062/105: WGS-84 degrees in 32 bits, 180/2^25 per LSB.
constexpr double wgs25LsbDeg = 180.0 / 33554432.0;
// I010/040 theta: a full turn in 16 bits.
constexpr double thetaLsbDeg = 360.0 / 65536.0;
// Track numbers: 12 bits.
constexpr std::int64_t trackNumbers = 4096;

// Indexed by FieldId.
constexpr Field fields[fieldCount]{
    {"I010/140 time of day", "s", timeLsbS, 24, false, dayLsb},
    {"I010/041 latitude", "deg", wgs32LsbDeg, 32, true, 0},
    {"I010/041 longitude", "deg", wgs32LsbDeg, 32, true, std::int64_t(1) << 32},
    {"I010/040 rho", "m", 1.0, 16, false, 0},
    {"I010/040 theta", "deg", thetaLsbDeg, 16, false, std::int64_t(1) << 16},
    {"I010/042 x", "m", 1.0, 16, true, 0},
    {"I010/042 y", "m", 1.0, 16, true, 0},
    {"I010/161 track number", "", 1.0, 12, false, trackNumbers},
    {"I062/070 time of track information", "s", timeLsbS, 24, false, dayLsb},
    {"I062/105 latitude", "deg", wgs25LsbDeg, 32, true, 0},
    {"I062/105 longitude", "deg", wgs25LsbDeg, 32, true, std::int64_t(1) << 26},
    {"I062/100 x", "m", 0.5, 24, true, 0},
    {"I062/100 y", "m", 0.5, 24, true, 0},
    {"I062/185 vx", "m/s", 0.25, 16, true, 0},
    {"I062/185 vy", "m/s", 0.25, 16, true, 0},
    {"I062/040 track number", "", 1.0, 16, false, trackNumbers},
};

// WGS-84 latitudes reach 90 degrees, whatever the bits could hold.
constexpr double maxLatitudeDeg = 90.0;

std::int64_t latitudeLimit(FieldId id)
{
    return std::int64_t(std::floor(maxLatitudeDeg / field(id).lsb));
}

bool isLatitude(FieldId id)
{
    return id == FieldId::Cat010Latitude || id == FieldId::Cat062Latitude;
}

} // namespace

std::int64_t Field::minLsb() const
{
    return isSigned ? -(std::int64_t(1) << (bits - 1)) : 0;
}

std::int64_t Field::maxLsb() const
{
    return isSigned ? (std::int64_t(1) << (bits - 1)) - 1 : (std::int64_t(1) << bits) - 1;
}

const Field& field(FieldId id)
{
    return fields[int(id)];
}

std::uint64_t ClampCounts::total() const
{
    std::uint64_t sum = 0;
    for (const std::uint64_t n : byField)
        sum += n;
    return sum;
}

std::int64_t encode(FieldId id, double value, bool& clamped)
{
    const Field& f = field(id);
    clamped = false;
    if (!std::isfinite(value)) {
        clamped = true;
        return 0;
    }
    const double scaled = std::round(value / f.lsb);
    if (f.modulusLsb > 0) {
        // Circular: fmod keeps huge values exact enough to land in range.
        double n = std::fmod(scaled, double(f.modulusLsb));
        if (n < 0)
            n += double(f.modulusLsb);
        // Signed: the half turn from -modulus / 2 (a longitude from -180).
        auto lsb = std::int64_t(n);
        if (f.isSigned && lsb >= f.modulusLsb / 2)
            lsb -= f.modulusLsb;
        return lsb;
    }
    std::int64_t least = f.minLsb();
    std::int64_t greatest = f.maxLsb();
    if (isLatitude(id)) {
        least = -latitudeLimit(id);
        greatest = latitudeLimit(id);
    }
    if (scaled < double(least) || scaled > double(greatest)) {
        clamped = true;
        return scaled < double(least) ? least : greatest;
    }
    return std::int64_t(scaled);
}

double decode(FieldId id, std::int64_t lsb)
{
    return double(lsb) * field(id).lsb;
}

bool RecordWriter::item(int frn)
{
    // An item out of order would be read as the wrong one; one past the
    // FSPEC's bits has none to mark it.
    skipping_ = frn <= lastFrn_ || frn > maxFrn;
    if (skipping_) {
        ++refused_;
        return false;
    }
    present_ |= std::uint64_t(1) << (frn - 1);
    lastFrn_ = frn;
    return true;
}

void RecordWriter::byte(std::uint8_t value)
{
    if (!skipping_)
        body_.append(char(value));
}

void RecordWriter::field(FieldId id, double value)
{
    if (skipping_)
        return;
    bool clamped = false;
    const std::int64_t lsb = encode(id, value, clamped);
    if (clamped)
        ++counts_.byField[std::size_t(id)];
    const Field& f = asterix::field(id);
    const int bytes = (f.bits + 7) / 8;
    const std::uint64_t bits = std::uint64_t(lsb) & ((std::uint64_t(1) << f.bits) - 1);
    for (int i = bytes - 1; i >= 0; --i)
        body_.append(char((bits >> (8 * i)) & 0xff));
}

QByteArray RecordWriter::record() const
{
    // Seven items per FSPEC byte, high bit first; bit 1 (FX) says another
    // byte follows.
    constexpr int itemsPerByte = 7;
    const int fspecBytes = std::max(1, (lastFrn_ + itemsPerByte - 1) / itemsPerByte);
    QByteArray out;
    out.reserve(fspecBytes + body_.size());
    for (int b = 0; b < fspecBytes; ++b) {
        std::uint8_t octet = b + 1 < fspecBytes ? 0x01 : 0x00;
        for (int i = 0; i < itemsPerByte; ++i) {
            if (present_ & (std::uint64_t(1) << (b * itemsPerByte + i)))
                octet |= std::uint8_t(0x80 >> i);
        }
        out.append(char(octet));
    }
    return out + body_;
}

QVector<QByteArray> dataBlocks(std::uint8_t category, const QVector<QByteArray>& records,
                               int maxBytes)
{
    QVector<QByteArray> blocks;
    QByteArray block;
    const auto close = [&] {
        const int length = block.size();
        block[1] = char((length >> 8) & 0xff);
        block[2] = char(length & 0xff);
        blocks.append(block);
        block.clear();
    };
    for (const QByteArray& record : records) {
        if (!block.isEmpty() && block.size() + record.size() > maxBytes)
            close();
        if (block.isEmpty())
            block.append(char(category)).append(2, '\0');
        block.append(record);
    }
    if (!block.isEmpty())
        close();
    return blocks;
}

double secondsOfDay(std::int64_t epochMs)
{
    std::int64_t ms = epochMs % msPerDay;
    if (ms < 0)
        ms += msPerDay;
    return double(ms) / 1000.0;
}

} // namespace trklib::encoders::asterix
