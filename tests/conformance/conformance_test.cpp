#include "conformancescenes.h"
#include "engine/targettracking.h"
#include "input/dataparser.h"
#include "sceneoutput.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <iostream>
#include <string>

namespace trklib {
namespace {

using test::PacketOutput;

constexpr int packetBytes = 19504;
// The seven datagrams of one packet: header and six array blocks.
constexpr int datagramBytes[] = {48, 1024, 4096, 4096, 4096, 4096, 2048};

bool readFile(const QString& path, QByteArray& contents)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    contents = file.readAll();
    return true;
}

// One line "tilt,pan,height,panOffset,orientation".
bool parseConfig(const QByteArray& text, RadarConfig& config)
{
    const QList<QByteArray> fields = text.trimmed().split(',');
    if (fields.size() != 5)
        return false;
    bool ok[5] = {};
    config.tilt = fields[0].trimmed().toDouble(&ok[0]);
    config.pan = fields[1].trimmed().toDouble(&ok[1]);
    config.height = fields[2].trimmed().toDouble(&ok[2]);
    config.panOffset = fields[3].trimmed().toDouble(&ok[3]);
    config.orientation = fields[4].trimmed().toInt(&ok[4]);
    return ok[0] && ok[1] && ok[2] && ok[3] && ok[4];
}

// Offers every packet as its seven datagrams to one parser and, for every
// packet the parser completes, writes the validation records and then the
// targets of one engine.
QVector<PacketOutput> replay(const QByteArray& packets, const RadarConfig& config)
{
    DataParser parser;
    TargetTracking engine;
    engine.radarConfig() = config;

    QVector<PacketOutput> output;
    const int packetCount = packets.size() / packetBytes;
    for (int p = 0; p < packetCount; ++p) {
        int offset = p * packetBytes;
        DataParser::Status status = DataParser::Incomplete;
        for (int bytes : datagramBytes) {
            status = parser.parseDatagram(packets.mid(offset, bytes));
            offset += bytes;
        }
        if (status != DataParser::Complete)
            continue;
        const RadarPacketData packet = parser.radarPacketData();

        QVector<ValidationData> records;
        engine.getValidationFromData(packet, records);
        long timestamp = 0;
        QVector<TargetData> targets;
        engine.getTargetsFromData(packet, timestamp, targets);

        PacketOutput out;
        out.number = p;
        out.lines.append({0, test::packetLine(p, timestamp, targets.size(), records.size())});
        for (const TargetData& target : targets)
            out.lines.append({0, test::targetLine(target)});
        for (const ValidationData& record : records)
            out.lines.append({0, test::validationLine(record)});
        output.append(out);
    }
    return output;
}

QString countText(const test::KindCount& count)
{
    return QStringLiteral("%1/%2").arg(count.matched).arg(count.expected);
}

class Conformance : public ::testing::TestWithParam<const char*>
{
};

TEST_P(Conformance, ReplayGivesTheRecordedOutput)
{
    const QDir dir(QDir(QString::fromUtf8(test::conformanceSceneDir)).filePath(GetParam()));
    QByteArray configText;
    QByteArray packets;
    QByteArray expectedText;
    ASSERT_TRUE(readFile(dir.filePath("config"), configText)) << dir.path().toStdString();
    ASSERT_TRUE(readFile(dir.filePath("packets.bin"), packets)) << dir.path().toStdString();
    ASSERT_TRUE(readFile(dir.filePath("expected.txt"), expectedText)) << dir.path().toStdString();

    RadarConfig config{};
    ASSERT_TRUE(parseConfig(configText, config)) << configText.toStdString();
    ASSERT_GT(packets.size(), 0);
    ASSERT_EQ(packets.size() % packetBytes, 0) << "packets.bin holds whole packets only";

    const QVector<PacketOutput> expected = test::parseSceneOutput(expectedText);
    const QVector<PacketOutput> actual = replay(packets, config);
    const test::SceneComparison result = test::compareSceneOutput(expected, actual);

    const QString summary = QStringLiteral("%1: P %2, T %3, V %4 lines match; %5 mismatching lines")
                                .arg(QString::fromUtf8(GetParam()), countText(result.packets),
                                     countText(result.targets), countText(result.validation))
                                .arg(result.mismatches);
    std::cout << "[ scene    ] " << summary.toStdString() << std::endl;
    RecordProperty("summary", summary.toStdString());

    EXPECT_EQ(actual.size(), expected.size()) << "completed packets";
    EXPECT_EQ(result.mismatches, 0)
        << summary.toStdString() << "\nfirst mismatch: " << result.firstMismatch.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Scenes, Conformance, ::testing::ValuesIn(test::conformanceScenes),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

} // namespace
} // namespace trklib
