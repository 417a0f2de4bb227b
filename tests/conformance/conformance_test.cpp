#include "conformancescenes.h"
#include "engine/targettracking.h"
#include "input/datagramassembler.h"
#include "input/packetencoder.h"
#include "sceneoutput.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace trklib {
namespace {

// One line "tilt,pan,height,panOffset,orientation".
bool parseConfig(const QByteArray& text, RadarConfig& c)
{
    char trailing = 0;
    return std::sscanf(text.constData(), "%lf,%lf,%lf,%lf,%d %c", &c.tilt, &c.pan, &c.height,
                       &c.panOffset, &c.orientation, &trailing) == 5;
}

// 17 significant digits: reads back as the same double.
QByteArray number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return QByteArray(text);
}

// Offers every packet as its seven datagrams to one assembler and, for every
// packet it completes, writes the P line, then the T lines of one
// engine's targets and the V lines of its validation records, the validation
// records taken first.
QList<QByteArray> replay(const QByteArray& packets, const RadarConfig& config)
{
    DatagramAssembler assembler;
    TargetTracking engine;
    engine.radarConfig() = config;

    QList<QByteArray> lines;
    for (int p = 0; p < packets.size() / wire::packetBytes; ++p) {
        const std::optional<RadarPacketData> assembled = assembler.assemble(
            PacketEncoder::datagramsOfWire(packets.mid(p * wire::packetBytes, wire::packetBytes)));
        if (!assembled)
            continue;
        const RadarPacketData& packet = *assembled;

        QVector<ValidationData> records;
        engine.getValidationFromData(packet, records);
        long timestamp = 0;
        QVector<TargetData> targets;
        engine.getTargetsFromData(packet, timestamp, targets);

        lines.append("P " + QByteArray::number(p) + ' ' + QByteArray::number(qint64(timestamp)) +
                     ' ' + QByteArray::number(targets.size()) + ' ' +
                     QByteArray::number(records.size()));
        for (const TargetData& t : targets)
            lines.append("T " + QByteArray::number(t.number) + ' ' + number(t.elevation) + ' ' +
                         number(t.azimuth) + ' ' + number(t.distance) + ' ' + number(t.velocity) +
                         ' ' + (t.confirmed ? '1' : '0'));
        for (const ValidationData& r : records)
            lines.append("V " + QByteArray::number(r.index) + ' ' + number(r.elevation) + ' ' +
                         number(r.azimuth) + ' ' + number(r.distance) + ' ' + number(r.velocity));
    }
    return lines;
}

using Conformance = ::testing::TestWithParam<const char*>;

TEST_P(Conformance, ReplayGivesTheRecordedOutput)
{
    const QDir dir(QDir(QString::fromUtf8(test::conformanceSceneDir)).filePath(GetParam()));
    const auto read = [&dir](const char* name) {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QByteArray configText = read("config");
    const QByteArray packets = read("packets.bin");
    const QByteArray expectedText = read("expected.txt");

    RadarConfig config{};
    ASSERT_TRUE(parseConfig(configText, config)) << configText.toStdString();
    ASSERT_GT(packets.size(), 0) << dir.path().toStdString();
    ASSERT_EQ(packets.size() % wire::packetBytes, 0) << "packets.bin holds whole packets only";

    const test::SceneComparison result = test::compareScene(expectedText, replay(packets, config));

    QStringList counts;
    for (char kind : {'P', 'T', 'V'})
        counts << QStringLiteral("%1 %2/%3")
                      .arg(QChar(kind))
                      .arg(result.matched.value(kind))
                      .arg(result.expected.value(kind));
    const QString summary = QStringLiteral("%1: %2 lines match; %3 mismatching lines")
                                .arg(QString::fromUtf8(GetParam()), counts.join(", "))
                                .arg(result.mismatches);
    std::cout << "[ scene    ] " << summary.toStdString() << std::endl;
    RecordProperty("summary", summary.toStdString());

    EXPECT_GT(result.expected.value('P'), 0) << "expected.txt holds no packet";
    EXPECT_EQ(result.mismatches, 0)
        << summary.toStdString() << "\nfirst mismatch: " << result.firstMismatch.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Scenes, Conformance, ::testing::ValuesIn(test::conformanceScenes),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

} // namespace
} // namespace trklib
