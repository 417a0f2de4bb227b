// sited's offline run on a capture of two radars that share one port, made
// by radarsim (one run per radar, each from its own loopback address) and
// merged in time order: each radar's tracks must be trackreplay's on that
// radar's capture alone, the run must repeat byte for byte, the pictures
// must come at their times, and a bad capture must leave the outputs alone.

#include "tools/sited/offline.h"
#include "tools/sited/zones/zoneoutput.h"

#include "support/programrun.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

using namespace trklib::sited::zones;

namespace trklib::sited {
namespace {

using test::runProgram;

constexpr quint16 radarPort = 47001;
constexpr int packetsPerRadar = 60; // 3 s at 20 packets per second
constexpr int pcapHeaderBytes = 24;
constexpr int pcapRecordHeaderBytes = 16;
constexpr double pictureRatePerS = 3.0; // a period of 333.3 ms: rounding shows
// The capture clock against each radar's: west's frames carry its packets'
// timestamps, east's are 360.5 ms later (a packet is received in the
// millisecond its last frame was captured in). East's last packet then
// ends the capture on the 11th picture's time: 23 + 59 * 50 + 360 ms after
// west's first packet, the first picture's time, is 3333 ms.
const QVector<qint64> frameOffsetsUs{0, 360500};
const QVector<std::int64_t> receivedLateMs{0, 360};

struct RadarRun
{
    const char* name;
    const char* source;
    const char* startMs; // radars are not in step
    QStringList simArguments;
    QStringList mountingArguments;
    const char* siteKeys;
};

const RadarRun radars[] = {
    {"west",
     "127.0.0.2",
     "1700000000000",
     {"--scene", "road", "--seed", "1"},
     {"--tilt", "-2", "--height", "5"},
     "tilt = -2\nheight = 5\nx = -40\ny = 3\nheading = 90\n"},
    {"east",
     "127.0.0.3",
     "1700000000023",
     {"--scene", "crossing", "--seed", "2"},
     {"--pan", "3", "--height", "6"},
     "pan = 3\nheight = 6\nx = 40\ny = -3\nheading = 270\n"},
};

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// The records of classic little-endian pcaps merged by capture time, the
// first file's first on a tie, each file's times moved by its offset;
// lastUs: the last record's time.
QByteArray mergePcaps(const QVector<QByteArray>& pcaps, const QVector<qint64>& offsetsUs,
                      qint64& lastUs)
{
    struct Record
    {
        qint64 timeUs;
        int file;
        QByteArray bytes;
    };
    QVector<Record> records;
    for (int f = 0; f < pcaps.size(); ++f) {
        const QByteArray& p = pcaps[f];
        for (int at = pcapHeaderBytes; at + pcapRecordHeaderBytes <= p.size();) {
            const auto* h = reinterpret_cast<const uchar*>(p.constData() + at);
            const qint64 timeUs = qint64(qFromLittleEndian<quint32>(h)) * 1000000 +
                                  qFromLittleEndian<quint32>(h + 4) + offsetsUs[f];
            const int length = int(qFromLittleEndian<quint32>(h + 8));
            QByteArray record = p.mid(at, pcapRecordHeaderBytes + length);
            auto* moved = reinterpret_cast<uchar*>(record.data());
            qToLittleEndian(quint32(timeUs / 1000000), moved);
            qToLittleEndian(quint32(timeUs % 1000000), moved + 4);
            records.append({timeUs, f, record});
            at += pcapRecordHeaderBytes + length;
        }
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const Record& a, const Record& b) { return a.timeUs < b.timeUs; });
    QByteArray merged = pcaps.front().left(pcapHeaderBytes);
    for (const Record& r : qAsConst(records))
        merged += r.bytes;
    lastUs = records.last().timeUs;
    return merged;
}

// The Ethernet frames of a classic pcap as a Linux cooked capture (DLT
// 113) shows the frames its host sent: packet type 4, outgoing.
QByteArray asSentByTheHost(const QByteArray& pcap)
{
    constexpr quint32 linkTypeLinuxSll = 113;
    constexpr int ethernetAddressBytes = 12; // the ethertype stays
    const QByteArray sllHeader = QByteArray::fromHex("00040304000000000000000000000000").left(14);
    QByteArray out = pcap.left(pcapHeaderBytes);
    qToLittleEndian(linkTypeLinuxSll, reinterpret_cast<uchar*>(out.data()) + 20);
    for (int at = pcapHeaderBytes; at + pcapRecordHeaderBytes <= pcap.size();) {
        QByteArray header = pcap.mid(at, pcapRecordHeaderBytes);
        auto* h = reinterpret_cast<uchar*>(header.data());
        const quint32 length = qFromLittleEndian<quint32>(h + 8);
        qToLittleEndian(length + 2, h + 8);
        qToLittleEndian(qFromLittleEndian<quint32>(h + 12) + 2, h + 12);
        out += header + sllHeader +
               pcap.mid(at + pcapRecordHeaderBytes + ethernetAddressBytes,
                        int(length) - ethernetAddressBytes);
        at += pcapRecordHeaderBytes + int(length);
    }
    return out;
}

// A trackreplay CSV row or a tracks message's target, as numbers.
using Row = QVector<double>;

QVector<Row> csvRows(const QByteArray& csv)
{
    QVector<Row> rows;
    const QList<QByteArray> lines = csv.split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        if (lines[i].isEmpty())
            continue;
        Row row;
        for (const QByteArray& field : lines[i].split(','))
            row.append(std::strtod(field.constData(), nullptr));
        rows.append(row);
    }
    return rows;
}

QVector<QJsonObject> jsonLines(const QByteArray& text)
{
    QVector<QJsonObject> objects;
    for (const QByteArray& line : text.split('\n'))
        if (!line.isEmpty())
            objects.append(QJsonDocument::fromJson(line).object());
    return objects;
}

class SitedOffline : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        dir_ = new QTemporaryDir;
        QVector<QByteArray> pcaps;
        for (const RadarRun& r : radars) {
            const QString pcap = path(QStringLiteral("%1.pcap").arg(r.name));
            const test::ProgramRun sim = runProgram(
                QStringLiteral(RADARSIM_PATH),
                QStringList{"--quiet", "--no-send", "--packets", QString::number(packetsPerRadar),
                            "--port", QString::number(radarPort), "--source", r.source,
                            "--start-ms", r.startMs, "--pcap", pcap} +
                    r.simArguments + r.mountingArguments);
            ASSERT_EQ(sim.exitCode, 0) << sim.err.toStdString();
            pcaps.append(readAll(pcap));
            const test::ProgramRun replay =
                runProgram(QStringLiteral(TRACKREPLAY_PATH),
                           QStringList{"--port", QString::number(radarPort), "-o", "-", pcap} +
                               r.mountingArguments);
            ASSERT_EQ(replay.exitCode, 0) << replay.err.toStdString();
            expected_.append(csvRows(replay.out));
        }
        writeAll(capture(), mergePcaps(pcaps, frameOffsetsUs, lastFrameUs_));
    }

    static void TearDownTestSuite() { delete dir_; }

    static QString path(const QString& name) { return dir_->filePath(name); }
    static QString capture() { return path(QStringLiteral("site.pcap")); }

    // The site file of the two radars on port, told apart by sender;
    // strangers: radar addresses that sent nothing.
    static site::SiteConfig siteConfig(quint16 port = radarPort, bool strangers = false)
    {
        QByteArray text = "[site]\nname = yard\nlatitude = 48.1\nlongitude = 11.5\n"
                          "altitude = 500\n[fusion]\nrate = 3\n[broker]\nclient_id = c\n";
        int stranger = 8;
        for (const RadarRun& r : radars) {
            const QString sender = strangers ? QStringLiteral("127.0.0.%1").arg(stranger++)
                                             : QString::fromLatin1(r.source);
            text += QStringLiteral("[radar.%1]\nport = %2\nradar_address = %3\n")
                        .arg(QLatin1String(r.name))
                        .arg(port)
                        .arg(sender)
                        .toUtf8() +
                    r.siteKeys;
        }
        const QString file = path(QStringLiteral("site.conf"));
        writeAll(file, text);
        site::SiteConfig config;
        QString error;
        EXPECT_TRUE(site::loadSiteConfig(file, config, error)) << error.toStdString();
        EXPECT_EQ(config.fusion.ratePerS, pictureRatePerS);
        return config;
    }

    static QTemporaryDir* dir_;
    static QVector<QVector<Row>> expected_; // trackreplay's rows, by radar
    static qint64 lastFrameUs_;
};

QTemporaryDir* SitedOffline::dir_ = nullptr;
QVector<QVector<Row>> SitedOffline::expected_;
qint64 SitedOffline::lastFrameUs_ = 0;

// Picture times from the first, at and just past the rates' limits, and
// far from the first without drift; each due one millisecond after it.
TEST(CapturePictureClock, MakesEachPictureOnceTheClockHasPassedItWithoutDrift)
{
    constexpr std::int64_t firstMs = 1000;
    const struct
    {
        double ratePerS;
        int made;
        std::int64_t nextMs;
    } cases[] = {
        {3, 0, 1000},     {3, 1, 1333},   {3, 2, 1667},    {3, 3, 2000},
        {3, 300, 101000}, {100, 1, 1010}, {0.1, 1, 11000}, {7, 7000, 1001000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ratePerS << " per second, " << c.made << " made");
        CapturePictureClock clock(c.ratePerS);
        EXPECT_FALSE(clock.passed(std::numeric_limits<std::int64_t>::max())) << "not started";
        clock.start(firstMs);
        for (int k = 0; k < c.made; ++k)
            clock.advance();
        ASSERT_TRUE(clock.next());
        EXPECT_EQ(*clock.next(), c.nextMs);
        EXPECT_FALSE(clock.passed(c.nextMs)) << "a report at its time still goes in";
        EXPECT_TRUE(clock.passed(c.nextMs + 1));
    }
}

// Each radar's tracks, told apart on the shared port by sender, are
// trackreplay's of that radar's capture alone, bit for bit; the run repeats
// byte for byte, on the capture of the host that sent the frames too; the
// pictures come from the first packet's time every 1000/rate ms, rounded
// from the first, up to the capture's last frame.
TEST_F(SitedOffline, TracksEachRadarAsTrackreplayAndRepeatsItsPicturesAtTheirTimes)
{
    const site::SiteConfig config = siteConfig();
    OfflineRun run;
    QString error;
    const QString pictures = path(QStringLiteral("pictures.jsonl"));
    const QString tracks = path(QStringLiteral("tracks.jsonl"));
    ASSERT_TRUE(runOffline(config, capture(), pictures, tracks, {}, run, error))
        << error.toStdString();

    QVector<QVector<Row>> actual(2);
    QVector<int> packets(2);
    const QVector<QJsonObject> messages = jsonLines(readAll(tracks));
    std::int64_t firstReceivedMs = 0;
    for (const QJsonObject& m : messages) {
        const int r = m["radar"].toString() == QLatin1String("west") ? 0 : 1;
        ASSERT_EQ(m["radar"].toString(), QLatin1String(radars[r].name));
        const std::int64_t receivedMs = std::int64_t(m["received"].toDouble());
        if (&m == &messages.front())
            firstReceivedMs = receivedMs;
        EXPECT_EQ(receivedMs - std::int64_t(m["timestamp"].toDouble()), receivedLateMs[r]);
        for (const QJsonValue& v : m["targets"].toArray()) {
            const QJsonObject t = v.toObject();
            ASSERT_TRUE(t.contains("lat") && t.contains("x")) << "on the site and on Earth";
            actual[r].append({double(packets[r]), m["timestamp"].toDouble(), t["number"].toDouble(),
                              t["elevation"].toDouble(), t["azimuth"].toDouble(),
                              t["distance"].toDouble(), t["velocity"].toDouble(),
                              t["confirmed"].toBool() ? 1.0 : 0.0});
        }
        ++packets[r];
    }
    EXPECT_EQ(packets, (QVector<int>{packetsPerRadar, packetsPerRadar}));
    EXPECT_EQ(run.packets, 2 * packetsPerRadar);
    for (int r = 0; r < 2; ++r) {
        SCOPED_TRACE(radars[r].name);
        ASSERT_FALSE(expected_[r].isEmpty());
        EXPECT_EQ(actual[r], expected_[r]);
    }

    QVector<std::int64_t> expectedTimes;
    for (int k = 0;; ++k) {
        const std::int64_t t = firstReceivedMs + std::llround(k * 1000.0 / pictureRatePerS);
        if (t > lastFrameUs_ / 1000)
            break;
        expectedTimes.append(t);
    }
    QVector<std::int64_t> times;
    for (const QJsonObject& p : jsonLines(readAll(pictures))) {
        EXPECT_EQ(p["site"].toString(), QLatin1String("yard"));
        times.append(std::int64_t(p["time"].toDouble()));
    }
    ASSERT_EQ(expectedTimes.size(), 11);
    ASSERT_EQ(expectedTimes.last(), lastFrameUs_ / 1000) << "a picture at the capture's end";
    EXPECT_EQ(times, expectedTimes);
    EXPECT_EQ(run.pictures, expectedTimes.size());

    OfflineRun again;
    const QString pictures2 = path(QStringLiteral("pictures2.jsonl"));
    const QString tracks2 = path(QStringLiteral("tracks2.jsonl"));
    ASSERT_TRUE(runOffline(config, capture(), pictures2, tracks2, {}, again, error));
    EXPECT_EQ(readAll(pictures2), readAll(pictures));
    EXPECT_EQ(readAll(tracks2), readAll(tracks));

    const QString sent = path(QStringLiteral("sent.pcap"));
    writeAll(sent, asSentByTheHost(readAll(capture())));
    ASSERT_TRUE(runOffline(config, sent, pictures2, tracks2, {}, again, error))
        << error.toStdString();
    EXPECT_EQ(readAll(pictures2), readAll(pictures));
    EXPECT_EQ(readAll(tracks2), readAll(tracks));
}

// sited --align's run: no output file, each radar's estimate as the
// aligner left it at the capture's end, none with align = off; and what it
// prints of them: the anchor and a radar not observable as one comment,
// an estimated radar with its keys corrected, its heading within a turn.
TEST_F(SitedOffline, AlignsWithoutOutputsAndPrintsEachRadarsCorrectedKeys)
{
    site::SiteConfig config = siteConfig();
    OfflineRun run;
    QString error;
    ASSERT_TRUE(runOffline(config, capture(), QString(), QString(), {}, run, error))
        << error.toStdString();
    EXPECT_EQ(run.pictures, 11) << "made, though written nowhere";
    ASSERT_TRUE(run.alignment);
    EXPECT_FALSE(run.alignment->apply) << "report by default";
    ASSERT_EQ(run.alignment->radars.size(), 2);
    for (const QString& line : alignmentKeys(config, *run.alignment).split('\n')) {
        if (!line.isEmpty()) {
            EXPECT_TRUE(line.contains(QRegularExpression(
                QStringLiteral("^# radar (west|east): \\d+ co-sightings?; not observable: .+$"))))
                << line.toStdString();
        }
    }
    config.fusion.align = site::AlignMode::Off;
    ASSERT_TRUE(runOffline(config, capture(), QString(), QString(), {}, run, error));
    EXPECT_FALSE(run.alignment);

    align::RadarEstimate west;
    west.radar = 0;
    west.anchor = west.observable = true;
    align::RadarEstimate east;
    east.radar = 1;
    east.observable = true;
    east.estimate = {2.013, -1.02, 0.51, 0.31};
    east.sigma = {0.012, 0.08, 0.07, 0.05};
    east.coSightings = 1834;
    config.radars[1].rangeOffsetM = -0.5;
    const link::AlignmentStatus alignment{false, {west, east}, {false, false}};
    const QString keys = "[radar.east]\nheading = 272.013\nx = 38.98\ny = -2.49\n"
                         "range_offset = -0.19\n";
    EXPECT_EQ(alignmentKeys(config, alignment),
              QStringLiteral("# radar west: anchor\n"
                             "# radar east: 1834 co-sightings; heading +2.013 \u00b1 0.012 deg, "
                             "x -1.02 \u00b1 0.08 m, y +0.51 \u00b1 0.07 m, range +0.31 \u00b1 "
                             "0.05 m; not certain yet\n") +
                  keys);
    // Not observable along its beam: the keys with that place folded into
    // the range offset, its figures' sigmas, and whether they are certain.
    align::RadarEstimate along = east;
    along.observable = false;
    along.why = QStringLiteral("range offset and place along its beam cannot be told apart");
    along.sharing = along.folded = along.foldedCertain = true;
    along.foldedEstimate = {1.5, 0.0, 0.2, 1.25};
    along.foldedSigma = {0.011, 0.001, 0.06, 0.02};
    const QString folded = "#   its place along the beam taken as range offset: heading "
                           "+1.500 \u00b1 0.011 deg, x +0.00 \u00b1 0.00 m, y +0.20 \u00b1 0.06 m, "
                           "range +1.25 \u00b1 0.02 m\n[radar.east]\n"
                           "heading = 271.500\nx = 40.00\ny = -2.80\nrange_offset = 0.75\n";
    EXPECT_TRUE(alignmentKeys(config, {false, {west, along}, {false, false}}).endsWith(folded));
    along.foldedCertain = false;
    EXPECT_TRUE(alignmentKeys(config, {false, {west, along}, {false, false}})
                    .contains(QStringLiteral("range +1.25 \u00b1 0.02 m; not certain yet\n")));
    along.folded = false;
    EXPECT_FALSE(alignmentKeys(config, {false, {west, along}, {false, false}})
                     .contains(QLatin1String("[radar.east]")))
        << "nothing folded: no keys";

    config.radars[1].placement.headingDeg = 359.0;
    east.certain = true;
    EXPECT_TRUE(alignmentKeys(config, {false, {west, east}, {false, true}})
                    .endsWith(QStringLiteral("0.05 m\n[radar.east]\nheading = 1.013\n") +
                              keys.mid(keys.indexOf(QLatin1String("x =")))));
}

// Every way the run can fail says so in one line and leaves the outputs
// as they were.
TEST_F(SitedOffline, RefusesBadCapturesAndOutputsAndWritesNothing)
{
    QByteArray truncated = readAll(capture());
    truncated.chop(7);
    writeAll(path(QStringLiteral("cut.pcap")), truncated);
    writeAll(path(QStringLiteral("text.pcap")), "not a capture\n");
    const QString keep = path(QStringLiteral("keep.jsonl"));
    const QString keepTracks = path(QStringLiteral("keep-tracks.jsonl"));
    const struct
    {
        const char* what;
        QString capture;
        QString output;
        QString tracksOutput;
        quint16 port;
        bool strangers;
        const char* error; // what the message holds
        QString events{};  // --events
    } cases[] = {
        {"not a capture", path(QStringLiteral("text.pcap")), keep, keepTracks, radarPort, false,
         "text.pcap: not a capture file"},
        {"no such file", path(QStringLiteral("none.pcap")), keep, keepTracks, radarPort, false,
         "none.pcap: no such file"},
        {"cut short", path(QStringLiteral("cut.pcap")), keep, keepTracks, radarPort, false,
         "cut.pcap: damaged or truncated capture after"},
        {"no datagram to the port", capture(), keep, keepTracks, radarPort + 1, false,
         "no UDP datagram to port 47002; no output file written"},
        {"senders of no radar", capture(), keep, keepTracks, radarPort, true,
         "UDP datagrams to port 47001, none from or to a radar of the site"},
        {"output is the capture", capture(), capture(), keepTracks, radarPort, false, "--capture"},
        {"both outputs one file", capture(), keep, keep, radarPort, false, "--output"},
        {"events on the pictures", capture(), keep, keepTracks, radarPort, false, "--events", keep},
        {"events without zones", capture(), keep, keepTracks, radarPort, false,
         "--events: the site file names no [zones] file", path(QStringLiteral("events.jsonl"))},
    };
    const QByteArray original = readAll(capture());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeAll(keep, "kept\n");
        writeAll(keepTracks, "kept too\n");
        const site::SiteConfig config = siteConfig(c.port, c.strangers);
        OfflineRun run;
        QString error;
        EXPECT_FALSE(runOffline(config, c.capture, c.output, c.tracksOutput, {nullptr, c.events},
                                run, error));
        EXPECT_TRUE(error.contains(QLatin1String(c.error))) << error.toStdString();
        EXPECT_FALSE(error.contains('\n'));
        EXPECT_EQ(readAll(keep), "kept\n");
        EXPECT_EQ(readAll(keepTracks), "kept too\n");
        EXPECT_EQ(readAll(capture()), original);
    }
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("events.jsonl"))));
}

// The perimeter scene with its example zones: the events sited writes are
// exactly those the independent checker finds in its pictures, picture by
// picture, and walkers crossing the fence raise some.
TEST(SitedOfflineEvents, TheCheckerFindsTheSameEvents)
{
    QTemporaryDir dir;
    const QString site = QStringLiteral(SITES_DIR "/perimeter.conf");
    const QString pcap = dir.filePath(QStringLiteral("perimeter.pcap"));
    const test::ProgramRun sim =
        runProgram(QStringLiteral(RADARSIM_PATH),
                   {"--quiet", "--no-send", "--site", site, "--scene", "perimeter", "--packets",
                    "1200", "--seed", "1", "--pcap", pcap});
    ASSERT_EQ(sim.exitCode, 0) << sim.err.toStdString();
    site::SiteConfig config;
    QString error;
    ASSERT_TRUE(site::loadSiteConfig(site, config, error)) << error.toStdString();
    std::unique_ptr<ZoneOutput> zones;
    ASSERT_TRUE(ZoneOutput::load(site, config, zones, error)) << error.toStdString();
    ASSERT_TRUE(zones);
    const QString pictures = dir.filePath(QStringLiteral("pictures.jsonl"));
    const QString events = dir.filePath(QStringLiteral("events.jsonl"));
    const QString zonesJson = dir.filePath(QStringLiteral("zones.json"));
    OfflineRun run;
    ASSERT_TRUE(runOffline(config, pcap, pictures, {}, {zones.get(), events}, run, error))
        << error.toStdString();
    writeAll(zonesJson, zones->zonesMessage().payload);

    QProcess checker;
    checker.start(QStringLiteral(PYTHON_EXECUTABLE),
                  {QStringLiteral(EVENTS_PY), pictures, zonesJson});
    ASSERT_TRUE(checker.waitForFinished(120000));
    ASSERT_EQ(checker.exitCode(), 0) << checker.readAllStandardError().toStdString();
    const QVector<QJsonObject> expected = jsonLines(checker.readAllStandardOutput());
    const QVector<QJsonObject> actual = jsonLines(readAll(events));
    EXPECT_EQ(run.events, actual.size());
    ASSERT_EQ(actual.size(), expected.size());
    for (int i = 0; i < actual.size(); ++i)
        ASSERT_EQ(actual[i], expected[i]) << "event " << i;
    EXPECT_TRUE(std::any_of(actual.begin(), actual.end(), [](const QJsonObject& e) {
        return e[QLatin1String("event")] == QLatin1String("cross");
    })) << "walkers cross the fence";
}

} // namespace
} // namespace trklib::sited
