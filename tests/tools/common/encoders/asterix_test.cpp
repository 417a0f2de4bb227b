// The standard track outputs: every ASTERIX field at and just past its
// limits, records decoded by Wireshark's own dissector, data blocks within
// a datagram, and Cursor-on-Target events against the event's schema.

#include "tools/common/encoders/asterix.h"
#include "tools/common/encoders/cat010.h"
#include "tools/common/encoders/cat062.h"
#include "tools/common/encoders/cot.h"

#include "support/asterixdecode.h"
#include "support/programrun.h"

#include <QMap>
#include <QSet>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <random>
#include <vector>

namespace trklib::encoders::asterix::test {
namespace {

using trklib::test::AsterixRecord;
using trklib::test::decodeAsterix;
using trklib::test::tsharkProgram;

constexpr std::int64_t midnightMs = 1796601600000; // 2026-12-07T00:00:00Z
constexpr quint16 port = 8600;

// The value a field holds for value: clamped into its range, or the same
// point of a circle.
double expected(FieldId id, double value)
{
    const Field& f = field(id);
    if (f.modulusLsb > 0)
        return value;
    const bool latitude = id == FieldId::Cat010Latitude || id == FieldId::Cat062Latitude;
    const double least = latitude ? -90.0 : double(f.minLsb()) * f.lsb;
    const double greatest = latitude ? 90.0 : double(f.maxLsb()) * f.lsb;
    return std::clamp(value, least, greatest);
}

// How far apart two values of a field are, round its circle if it has one.
double distance(FieldId id, double a, double b)
{
    const Field& f = field(id);
    if (f.modulusLsb == 0)
        return std::abs(a - b);
    const double period = double(f.modulusLsb) * f.lsb;
    const double d = std::fmod(std::abs(a - b), period);
    return std::min(d, period - d);
}

TEST(AsterixFields, EncodeAtAndJustPastEveryLimit)
{
    const auto lsbs = [](FieldId id, double value) { return std::llround(value / field(id).lsb); };
    const struct
    {
        FieldId id;
        double value;
        std::int64_t lsb;
        bool clamped;
    } cases[]{
        {FieldId::Cat010Rho, 0.0, 0, false},
        {FieldId::Cat010Rho, -0.4, 0, false},
        {FieldId::Cat010Rho, -0.5, 0, true},
        {FieldId::Cat010Rho, 65535.0, 65535, false},
        {FieldId::Cat010Rho, 65535.5, 65535, true},
        {FieldId::Cat010X, -32768.0, -32768, false},
        {FieldId::Cat010X, -32769.0, -32768, true},
        {FieldId::Cat010Y, 32767.0, 32767, false},
        {FieldId::Cat010Y, 32768.0, 32767, true},
        {FieldId::Cat062X, -4194304.0, -8388608, false},
        {FieldId::Cat062X, -4194304.5, -8388608, true},
        {FieldId::Cat062Y, 4194303.5, 8388607, false},
        {FieldId::Cat062Y, 4194304.0, 8388607, true},
        {FieldId::Cat062Vx, -8192.0, -32768, false},
        {FieldId::Cat062Vx, -8192.25, -32768, true},
        {FieldId::Cat062Vy, 8191.75, 32767, false},
        {FieldId::Cat062Vy, 8192.0, 32767, true},
        {FieldId::Cat010Latitude, 90.0, 1 << 30, false},
        {FieldId::Cat010Latitude, 90.0000001, 1 << 30, true},
        {FieldId::Cat010Latitude, -90.0000001, -(1 << 30), true},
        {FieldId::Cat062Latitude, -90.0, -(1 << 24), false},
        {FieldId::Cat062Latitude, 90.00001, 1 << 24, true},
        // Circles: a bearing, a meridian, the time of day, a track number.
        {FieldId::Cat010Theta, 359.999, 0, false},
        {FieldId::Cat010Theta, -90.0, 49152, false},
        {FieldId::Cat010Theta, 720.0, 0, false},
        {FieldId::Cat010Longitude, 180.0, -2147483648LL, false},
        {FieldId::Cat010Longitude, -180.0, -2147483648LL, false},
        {FieldId::Cat010Longitude, 179.9999999, 2147483647LL, false},
        {FieldId::Cat062Longitude, 180.0, -(1 << 25), false},
        {FieldId::Cat062Longitude, 190.0, lsbs(FieldId::Cat062Longitude, -170.0), false},
        {FieldId::Cat010TimeOfDay, 86399.99, 11059199, false},
        {FieldId::Cat010TimeOfDay, 86399.999, 0, false}, // rounds to midnight
        {FieldId::Cat062TimeOfDay, 86400.0, 0, false},
        {FieldId::Cat010TrackNumber, 4095, 4095, false},
        {FieldId::Cat010TrackNumber, 4096, 0, false},
        {FieldId::Cat062TrackNumber, 4097, 1, false},
        {FieldId::Cat062TrackNumber, 123456, 123456 % 4096, false},
        {FieldId::Cat010X, NAN, 0, true},
        {FieldId::Cat010Theta, INFINITY, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(field(c.id).name) + " " + std::to_string(c.value));
        bool clamped = false;
        EXPECT_EQ(encode(c.id, c.value, clamped), c.lsb);
        EXPECT_EQ(clamped, c.clamped);
    }
}

// Any value decodes to within half an LSB of what the field holds for it,
// is clamped exactly when it lies outside, and stays within the field's bits.
TEST(AsterixFields, DecodeWithinHalfAnLsbOfEveryValue)
{
    std::mt19937_64 random(20261207);
    for (int i = 0; i < fieldCount; ++i) {
        const auto id = FieldId(i);
        const Field& f = field(id);
        SCOPED_TRACE(f.name);
        const double span = double(f.maxLsb() - f.minLsb()) * f.lsb;
        std::uniform_real_distribution<double> values(double(f.minLsb()) * f.lsb - span / 4,
                                                      double(f.maxLsb()) * f.lsb + span / 4);
        for (int n = 0; n < 2000; ++n) {
            const double v = values(random);
            bool clamped = false;
            const std::int64_t lsb = encode(id, v, clamped);
            ASSERT_GE(lsb, f.minLsb()) << v;
            ASSERT_LE(lsb, f.maxLsb()) << v;
            const double held = expected(id, v);
            ASSERT_EQ(clamped, held != v) << v;
            ASSERT_LE(distance(id, decode(id, lsb), held), f.lsb / 2 * (1 + 1e-9)) << v;
        }
    }
}

// One column of tshark's output and what it says of a report: a value to
// within the field's resolution (with its id) or exactly (without); none
// where the record has no such item.
template <typename Report> struct Column
{
    const char* name;
    std::optional<FieldId> id;
    std::function<std::optional<double>(const Report&)> value;
};

// The reports' records, one per datagram, decoded by tshark column by
// column, without a dissector warning.
template <typename Report>
void expectDecoded(const QVector<Report>& reports, const QVector<QByteArray>& records,
                   std::uint8_t category, const std::vector<Column<Report>>& columns)
{
    QVector<QByteArray> datagrams;
    for (const QByteArray& r : records)
        datagrams += dataBlocks(category, {r});
    QStringList names;
    for (const Column<Report>& c : columns)
        names << QLatin1String(c.name);
    QTemporaryDir dir;
    QVector<AsterixRecord> decoded;
    QString error;
    ASSERT_TRUE(decodeAsterix(dir.filePath("out.pcap"), datagrams, port, names, decoded, error))
        << error.toStdString();
    ASSERT_EQ(decoded.size(), reports.size());
    for (int i = 0; i < reports.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(decoded[i].value("_ws.expert"), QString()) << "no dissector warnings";
        for (const Column<Report>& c : columns) {
            const QString text = decoded[i].value(QLatin1String(c.name));
            const std::optional<double> want = c.value(reports[i]);
            if (!want)
                EXPECT_EQ(text, QString()) << c.name << " is absent";
            else if (c.id)
                EXPECT_LE(distance(*c.id, text.toDouble(), expected(*c.id, *want)),
                          field(*c.id).lsb)
                    << c.name << ": " << text.toStdString() << " for " << *want;
            else // tshark may print an integer in hexadecimal ("0x19")
                EXPECT_EQ(text.toLongLong(nullptr, 0), std::llround(*want)) << c.name;
        }
    }
}

TEST(Cat010, WiresharkDecodesEveryRecordAsItsTarget)
{
    if (tsharkProgram().isEmpty())
        GTEST_SKIP() << "tshark is not installed (scripts/lib/deps.sh installs it)";
    const site::GeoPoint somewhere{-33.85, 151.2};
    const QVector<RadarTargetReport> targets{
        // At the ends of the polar and Cartesian items, west and south.
        {1, true, midnightMs, 0.0, 0.0, 0.0, 0.0, somewhere},
        {2, true, midnightMs - 1, 65535.0, 359.99, -32768.0, -32768.0, site::GeoPoint{-90, -180}},
        {3, false, midnightMs + 1, 1234.4, 90.0, 32767.0, 32767.0, site::GeoPoint{90, 179.99}},
        // Past them: clamped (four values), and past 4095 (a track number).
        {4096 + 7, true, midnightMs - 500, 70000.0, -45.0, -40000.0, 40000.0, std::nullopt},
        {255, true, midnightMs + 43200000, -3.0, 180.0, -12.6, 0.4, somewhere},
    };
    ClampCounts counts;
    QVector<QByteArray> records;
    for (const RadarTargetReport& t : targets)
        records.append(cat010Record({25, 200}, t, counts));
    EXPECT_EQ(counts.total(), 4u);
    EXPECT_EQ(counts.byField[std::size_t(FieldId::Cat010X)], 1u);
    EXPECT_EQ(counts.byField[std::size_t(FieldId::Cat010Rho)], 2u);

    using T = RadarTargetReport;
    using V = std::optional<double>;
    expectDecoded<T>(
        targets, records, cat010,
        {{"asterix.010_010_SAC", {}, [](const T&) -> V { return 25; }},
         {"asterix.010_010_SIC", {}, [](const T&) -> V { return 200; }},
         {"asterix.010_000_VALUE", {}, [](const T&) -> V { return 1; }}, // a target report
         {"asterix.010_020_TYP", {}, [](const T&) -> V { return 3; }},   // a primary radar
         {"asterix.010_140_VALUE", FieldId::Cat010TimeOfDay,
          [](const T& t) -> V { return secondsOfDay(t.receivedMs); }},
         {"asterix.010_041_LAT", FieldId::Cat010Latitude,
          [](const T& t) -> V { return t.position ? V(t.position->latitudeDeg) : V(); }},
         {"asterix.010_041_LON", FieldId::Cat010Longitude,
          [](const T& t) -> V { return t.position ? V(t.position->longitudeDeg) : V(); }},
         {"asterix.010_040_RHO", FieldId::Cat010Rho,
          [](const T& t) -> V { return t.groundRangeM; }},
         {"asterix.010_040_TH", FieldId::Cat010Theta, [](const T& t) -> V { return t.bearingDeg; }},
         {"asterix.010_042_X", FieldId::Cat010X, [](const T& t) -> V { return t.eastM; }},
         {"asterix.010_042_Y", FieldId::Cat010Y, [](const T& t) -> V { return t.northM; }},
         {"asterix.010_161_TRK", {}, [](const T& t) -> V { return t.number % 4096; }},
         {"asterix.010_170_CNF", {}, [](const T& t) -> V { return t.confirmed ? 0 : 1; }}});
}

TEST(Cat062, WiresharkDecodesEveryRecordAsItsObject)
{
    if (tsharkProgram().isEmpty())
        GTEST_SKIP() << "tshark is not installed (scripts/lib/deps.sh installs it)";
    const QVector<SiteTrackReport> objects{
        {1, true, false, midnightMs, 0.0, 0.0, 0.0, 0.0, site::GeoPoint{48.1, 11.5}, true},
        {4095, false, false, midnightMs - 1, -4194304.0, 4194303.5, -8192.0, 8191.75,
         site::GeoPoint{-90, -180}},
        {4096, true, true, midnightMs + 1, -12.3, -45.6, -1.1, -0.2, site::GeoPoint{90, 179.99},
         true},
        // Clamped: four values.
        {70000, true, true, midnightMs - 86400000 / 2, 5e6, -5e6, 9000.0, -9000.0, std::nullopt},
    };
    ClampCounts counts;
    QVector<QByteArray> records;
    for (const SiteTrackReport& o : objects)
        records.append(cat062Record({25, 7}, o, counts));
    EXPECT_EQ(counts.total(), 4u);

    using O = SiteTrackReport;
    using V = std::optional<double>;
    expectDecoded<O>(
        objects, records, cat062,
        {{"asterix.062_010_SAC", {}, [](const O&) -> V { return 25; }},
         {"asterix.062_010_SIC", {}, [](const O&) -> V { return 7; }},
         {"asterix.062_015_VALUE", {}, [](const O&) -> V { return 1; }},
         {"asterix.062_070_VALUE", FieldId::Cat062TimeOfDay,
          [](const O& o) -> V { return secondsOfDay(o.timeMs); }},
         {"asterix.062_105_LAT", FieldId::Cat062Latitude,
          [](const O& o) -> V { return o.position ? V(o.position->latitudeDeg) : V(); }},
         {"asterix.062_105_LON", FieldId::Cat062Longitude,
          [](const O& o) -> V { return o.position ? V(o.position->longitudeDeg) : V(); }},
         {"asterix.062_100_X", FieldId::Cat062X, [](const O& o) -> V { return o.xM; }},
         {"asterix.062_100_Y", FieldId::Cat062Y, [](const O& o) -> V { return o.yM; }},
         {"asterix.062_185_VX", FieldId::Cat062Vx, [](const O& o) -> V { return o.vxMps; }},
         {"asterix.062_185_VY", FieldId::Cat062Vy, [](const O& o) -> V { return o.vyMps; }},
         {"asterix.062_040_VALUE", {}, [](const O& o) -> V { return double(o.id % 4096); }},
         // I062/080's first octet: a monosensor track, not a special
         // position, no height; its first extension only for an ended track.
         {"asterix.062_080_MON", {}, [](const O& o) -> V { return o.monosensor ? 1 : 0; }},
         {"asterix.062_080_SPI", {}, [](const O&) -> V { return 0; }},
         {"asterix.062_080_MRH", {}, [](const O&) -> V { return 0; }},
         {"asterix.062_080_SRC", {}, [](const O&) -> V { return 0; }},
         {"asterix.062_080_CNF", {}, [](const O& o) -> V { return o.confirmed ? 0 : 1; }},
         {"asterix.062_080_TSE", {}, [](const O& o) -> V { return o.ended ? V(1) : V(); }},
         {"asterix.062_080_SIM", {}, [](const O& o) -> V { return o.ended ? V(0) : V(); }},
         {"asterix.062_080_TSB", {}, [](const O& o) -> V { return o.ended ? V(0) : V(); }},
         {"asterix.062_080_KOS", {}, [](const O& o) -> V { return o.ended ? V(0) : V(); }}});
}

// Records go into as few data blocks as fit in a datagram each, in order:
// at 1400 bytes a block is full, one byte more starts the next.
// An item out of order, repeated or past the FSPEC's 63 is refused and
// counted, with what is written of it: the record is the one of the items
// taken alone. Each item here is a byte (its FRN) and a field.
TEST(RecordWriter, ItemsOutOfOrderOrPastTheFspecRefused)
{
    const struct
    {
        std::vector<int> frns;
        std::vector<int> taken;
    } cases[]{
        {{1, 2, 7, 8}, {1, 2, 7, 8}},
        {{1, 3, 2}, {1, 3}},
        {{4, 4}, {4}},
        {{0, 1}, {1}},
        {{-1, 2}, {2}},
        {{62, 63, 64}, {62, 63}},
        {{64, 1}, {1}},
        {{2, 1, 3}, {2, 3}},
    };
    const auto write = [](RecordWriter& w, int frn) {
        const bool taken = w.item(frn);
        w.byte(std::uint8_t(frn));
        w.field(FieldId::Cat062Vx, 1.0e6); // clamped when written
        return taken;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.frns));
        ClampCounts counts, alone;
        RecordWriter w(counts), expected(alone);
        std::vector<int> taken;
        for (const int frn : c.frns)
            if (write(w, frn))
                taken.push_back(frn);
        for (const int frn : c.taken)
            write(expected, frn);
        EXPECT_EQ(taken, c.taken);
        EXPECT_EQ(w.refusedItems(), int(c.frns.size() - c.taken.size()));
        EXPECT_EQ(w.record(), expected.record());
        EXPECT_EQ(counts.total(), c.taken.size()) << "a refused field is not counted";
    }
    // The last item the FSPEC holds: nine bytes, FX set in all but the last.
    ClampCounts counts;
    RecordWriter w(counts);
    w.item(RecordWriter::maxFrn);
    w.byte(0xab);
    EXPECT_EQ(w.record(), QByteArray(8, '\x01') + QByteArray("\x02\xab"));
}

TEST(DataBlocks, SplitWhereTheNextRecordWouldPass1400Bytes)
{
    const struct
    {
        int recordBytes;
        int records;
        int blocks;
    } cases[]{
        {30, 0, 0},   {30, 1, 1},  {1397, 1, 1}, // 3 + 1397 = 1400 bytes: full
        {1397, 2, 2}, {698, 2, 1},               // 3 + 1396 = 1399 bytes
        {699, 2, 2},                             // 3 + 1398 = 1401 bytes
        {127, 11, 1},                            // 3 + 11 * 127 = 1400 bytes: full
        {127, 12, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.recordBytes) + " x " + std::to_string(c.records));
        QVector<QByteArray> records;
        for (int i = 0; i < c.records; ++i)
            records.append(QByteArray(c.recordBytes, char('a' + i % 26)));
        const QVector<QByteArray> blocks = dataBlocks(cat010, records);
        EXPECT_EQ(blocks.size(), c.blocks);
        QByteArray joined;
        for (const QByteArray& b : blocks) {
            EXPECT_LE(b.size(), maxDatagramBytes);
            EXPECT_EQ(quint8(b[0]), cat010);
            EXPECT_EQ(quint8(b[1]) << 8 | quint8(b[2]), b.size()) << "LEN is the block's";
            joined += b.mid(blockHeaderBytes);
        }
        QByteArray all;
        for (const QByteArray& r : records)
            all += r;
        EXPECT_EQ(joined, all) << "every record once, in order";
    }
}

// Each element's attributes by name, and the text of <remarks>.
struct CotElements
{
    QHash<QString, QXmlStreamAttributes> attributes;
    QString remarks;
    QString error;
};

CotElements cotElements(const QByteArray& xml)
{
    CotElements out;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        out.attributes.insert(reader.name().toString(), reader.attributes());
        if (reader.name() == QLatin1String("remarks"))
            out.remarks = reader.readElementText();
    }
    if (reader.hasError())
        out.error = reader.errorString();
    return out;
}

// xmllint's complaint when xml does not validate against the event schema.
QString cotSchemaErrors(const QString& xmllint, const QString& path, const QByteArray& xml)
{
    if (!trklib::test::writeFile(path, xml))
        return QStringLiteral("cannot write ") + path;
    const trklib::test::ProgramRun run = trklib::test::runProgram(
        xmllint, {"--noout", "--schema", QStringLiteral(COT_SCHEMA), path});
    return run.exitCode == 0 ? QString() : run.err + QString::fromUtf8(xml);
}

// Events validate against the event schema with xmllint, and say where the
// objects are, how long they last and who they are.
TEST(Cot, EventsValidateAndSayWhereEachObjectIs)
{
    const QString xmllint = QStandardPaths::findExecutable(QStringLiteral("xmllint"));
    if (xmllint.isEmpty())
        GTEST_SKIP() << "xmllint is not installed (scripts/lib/deps.sh installs libxml2-utils)";
    const encoders::cot::Source source{QStringLiteral("north-1"), 42.5, 3.0};
    const QVector<SiteTrackReport> objects{
        {7, true, false, midnightMs - 1, 10, 20, 0.0, 1.0, site::GeoPoint{-90.0, 180.0}},
        {4097, false, true, midnightMs, 0, 0, -3.0, -4.0, site::GeoPoint{48.123456789, -0.5}},
    };
    const struct
    {
        const char* uid;
        const char* time;
        const char* stale; // after coast; an ended object's at once
        double course;
        double speed;
        encoders::cot::Kind kind;
        const char* type; // the kind's place in the type tree
    } want[]{
        {"trklib-north-1-7", "2026-12-06T23:59:59.999Z", "2026-12-07T00:00:02.999Z", 0.0, 1.0,
         encoders::cot::Kind::Person, "a-u-G-U-C-I"},
        {"trklib-north-1-4097", "2026-12-07T00:00:00.000Z", "2026-12-07T00:00:00.000Z", 216.87, 5.0,
         encoders::cot::Kind::Car, "a-u-G-E-V-C-A"},
    };
    // The kinds the tree has no type of their own for.
    EXPECT_STREQ(encoders::cot::trackType(encoders::cot::Kind::Truck), "a-u-G-E-V-C");
    EXPECT_STREQ(encoders::cot::trackType(encoders::cot::Kind::TwoWheeler), "a-u-G-E-V-C");
    EXPECT_STREQ(encoders::cot::trackType(encoders::cot::Kind::Animal), "a-u-G");
    EXPECT_STREQ(encoders::cot::trackType(encoders::cot::Kind::Unknown), "a-u-G");
    QTemporaryDir dir;
    for (int i = 0; i < objects.size(); ++i) {
        const SiteTrackReport& o = objects[i];
        SCOPED_TRACE(want[i].uid);
        const QByteArray xml = encoders::cot::event(source, o, 2.5, want[i].kind);
        EXPECT_EQ(cotSchemaErrors(xmllint, dir.filePath(QStringLiteral("%1.xml").arg(i)), xml),
                  QString());
        const CotElements read = cotElements(xml);
        ASSERT_EQ(read.error, QString());
        const QHash<QString, QXmlStreamAttributes>& elements = read.attributes;
        const QXmlStreamAttributes event = elements.value("event");
        EXPECT_EQ(event.value("uid"), QLatin1String(want[i].uid));
        EXPECT_EQ(event.value("type"), QLatin1String(want[i].type));
        EXPECT_EQ(event.value("time"), QLatin1String(want[i].time));
        EXPECT_EQ(event.value("stale"), QLatin1String(want[i].stale));
        const QXmlStreamAttributes point = elements.value("point");
        EXPECT_NEAR(point.value("lat").toDouble(), o.position->latitudeDeg, 1e-8);
        EXPECT_NEAR(point.value("lon").toDouble(), o.position->longitudeDeg, 1e-8);
        EXPECT_EQ(point.value("hae").toDouble(), 42.5);
        EXPECT_EQ(point.value("ce").toDouble(), 2.5);
        const QXmlStreamAttributes track = elements.value("track");
        EXPECT_NEAR(track.value("course").toDouble(), want[i].course, 0.01);
        EXPECT_NEAR(track.value("speed").toDouble(), want[i].speed, 0.01);
    }
    EXPECT_TRUE(encoders::cot::event(source, {1, true, false, midnightMs, 0, 0, 0, 0, std::nullopt})
                    .isEmpty())
        << "no position, no event";
}

// A zone event is an alarm of its own (one uid per event, even for two
// events of one object and picture) at the event's place, stale a fixed
// time after it, that says what happened to a user and, field by field, to
// a program: every kind of event, around midnight and west and south.
TEST(Cot, ZoneEventsAreAlarmsThatSayWhatHappened)
{
    const QString xmllint = QStandardPaths::findExecutable(QStringLiteral("xmllint"));
    if (xmllint.isEmpty())
        GTEST_SKIP() << "xmllint is not installed (scripts/lib/deps.sh installs libxml2-utils)";
    const encoders::cot::Source source{QStringLiteral("north-1"), 42.5, 3.0};
    using Fields = QMap<QString, QString>;
    const struct
    {
        encoders::cot::ZoneEventReport event;
        const char* uid;
        const char* time;
        const char* stale; // five minutes on
        const char* remarks;
        Fields fields; // of <trklib_event>
    } cases[]{
        {{"enter", "yard", 7, midnightMs - 1, {48.1, 11.5}, 36.0, {}, {}, {}, {}},
         "trklib-north-1-event-yard-7-1796601599999-enter",
         "2026-12-06T23:59:59.999Z",
         "2026-12-07T00:04:59.999Z",
         "Object 7 entered yard at 36.0 km/h.",
         {{"event", "enter"}, {"zone", "yard"}, {"object", "7"}, {"speed", "36.00"}}},
        {{"speed", "yard", 7, midnightMs - 1, {48.1, 11.5}, 80.0, {}, {}, {}, {}},
         "trklib-north-1-event-yard-7-1796601599999-speed",
         "2026-12-06T23:59:59.999Z",
         "2026-12-07T00:04:59.999Z",
         "Object 7 went 80.0 km/h in yard, above its limit.",
         {{"event", "speed"}, {"zone", "yard"}, {"object", "7"}, {"speed", "80.00"}}},
        {{"exit", "yard", 4097, midnightMs, {-33.85, -70.5}, 4.0, 12.5, {}, false, {}},
         "trklib-north-1-event-yard-4097-1796601600000-exit",
         "2026-12-07T00:00:00.000Z",
         "2026-12-07T00:05:00.000Z",
         "Object 4097 left yard after 12.5 s.",
         {{"event", "exit"},
          {"zone", "yard"},
          {"object", "4097"},
          {"speed", "4.00"},
          {"dwell", "12.500"},
          {"lost", "false"}}},
        {{"exit", "yard", 8, midnightMs + 1, {-90.0, -180.0}, 0.0, 3.0, {}, true, {}},
         "trklib-north-1-event-yard-8-1796601600001-exit",
         "2026-12-07T00:00:00.001Z",
         "2026-12-07T00:05:00.001Z",
         "Object 8 was lost in yard after 3.0 s.",
         {{"event", "exit"},
          {"zone", "yard"},
          {"object", "8"},
          {"speed", "0.00"},
          {"dwell", "3.000"},
          {"lost", "true"}}},
        {{"dwell", "yard", 9, midnightMs, {90.0, 180.0}, 1.0, 60.0, {}, {}, {}},
         "trklib-north-1-event-yard-9-1796601600000-dwell",
         "2026-12-07T00:00:00.000Z",
         "2026-12-07T00:05:00.000Z",
         "Object 9 has been in yard for 60.0 s.",
         {{"event", "dwell"},
          {"zone", "yard"},
          {"object", "9"},
          {"speed", "1.00"},
          {"dwell", "60.000"}}},
        {{"cross", "gate", 3, midnightMs, {48.1, 11.5}, 5.0, {}, "left", {}, {}},
         "trklib-north-1-event-gate-3-1796601600000-cross",
         "2026-12-07T00:00:00.000Z",
         "2026-12-07T00:05:00.000Z",
         "Object 3 crossed gate to the left at 5.0 km/h.",
         {{"event", "cross"},
          {"zone", "gate"},
          {"object", "3"},
          {"speed", "5.00"},
          {"direction", "left"}}},
    };
    QTemporaryDir dir;
    QSet<QString> uids;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uid);
        const QByteArray xml = encoders::cot::zoneEvent(source, c.event);
        EXPECT_EQ(
            cotSchemaErrors(xmllint, dir.filePath(QStringLiteral("%1.xml").arg(uids.size())), xml),
            QString());
        const CotElements read = cotElements(xml);
        ASSERT_EQ(read.error, QString());
        const QXmlStreamAttributes event = read.attributes.value("event");
        EXPECT_EQ(event.value("uid"), QLatin1String(c.uid));
        uids.insert(event.value("uid").toString());
        EXPECT_EQ(event.value("type"), QLatin1String("b-a-g"));
        EXPECT_EQ(event.value("time"), QLatin1String(c.time));
        EXPECT_EQ(event.value("start"), QLatin1String(c.time));
        EXPECT_EQ(event.value("stale"), QLatin1String(c.stale));
        const QXmlStreamAttributes point = read.attributes.value("point");
        EXPECT_NEAR(point.value("lat").toDouble(), c.event.position.latitudeDeg, 1e-8);
        EXPECT_NEAR(point.value("lon").toDouble(), c.event.position.longitudeDeg, 1e-8);
        EXPECT_EQ(point.value("hae").toDouble(), 42.5);
        EXPECT_EQ(read.remarks, QLatin1String(c.remarks));
        Fields fields;
        for (const QXmlStreamAttribute& a : read.attributes.value("trklib_event"))
            fields.insert(a.name().toString(), a.value().toString());
        const auto text = [](const Fields& f) {
            QStringList pairs;
            for (auto i = f.cbegin(); i != f.cend(); ++i)
                pairs << i.key() + '=' + i.value();
            return pairs.join(' ').toStdString();
        };
        EXPECT_EQ(text(fields), text(c.fields));
    }
    EXPECT_EQ(uids.size(), int(std::size(cases))) << "one uid per event";
}

// At most rate rounds a second: the first at once, the next a full
// interval later, not a millisecond sooner.
TEST(Cot, ThrottleLetsOneRoundThroughPerInterval)
{
    encoders::cot::Throttle twice(2.0);
    const struct
    {
        std::int64_t nowMs;
        bool due;
    } steps[]{{1000, true}, {1000, false}, {1499, false},
              {1500, true}, {1999, false}, {5000, true}};
    for (const auto& s : steps)
        EXPECT_EQ(twice.due(s.nowMs), s.due) << s.nowMs;
}

} // namespace
} // namespace trklib::encoders::asterix::test
