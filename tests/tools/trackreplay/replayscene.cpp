#include "replayscene.h"

#include "support/packets.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <cmath>

namespace trklib::test {

namespace {

constexpr qint64 firstTimestampMs = 5000;
constexpr qint64 packetIntervalMs = 50;
constexpr double kphPerCell = 0.25; // Doppler bin width of the scene
constexpr int processTimeoutMs = 60000;

struct Mover
{
    float velocityKph;
    float startDistanceM;
    float elevationDeg;
    float azimuthDeg;
    signed char amplitudeDb;
};

bool sameDouble(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || a == b;
}

QList<QByteArray> fields(const QByteArray& line, int count)
{
    const QList<QByteArray> parts = line.split(',');
    EXPECT_EQ(parts.size(), count) << line.constData();
    return parts;
}

double number(const QByteArray& text)
{
    return std::strtod(text.constData(), nullptr);
}

} // namespace

QVector<RadarPacketData> movingScene(int packets)
{
    const Mover movers[] = {{-50.0f, 120.0f, -1.0f, 5.0f, -35},
                            {40.0f, 30.0f, -2.0f, -8.0f, -30},
                            {5.0f, 20.0f, -3.0f, 15.0f, -45}};
    QVector<RadarPacketData> scene;
    for (int k = 0; k < packets; ++k) {
        const qint64 timestamp = firstTimestampMs + k * packetIntervalMs;
        const float elapsedS = float(k * packetIntervalMs) / 1000.0f;
        QVector<Echo> echoes;
        for (const Mover& m : movers) {
            const int cell = int(std::lround(std::fabs(m.velocityKph) / kphPerCell));
            const float distance = m.startDistanceM + m.velocityKph / 3.6f * elapsedS;
            echoes.append(
                {cell, m.amplitudeDb, m.velocityKph, distance, m.elevationDeg, m.azimuthDeg});
        }
        scene.append(packetWithEchoes(timestamp, echoes));
    }
    return scene;
}

EngineOutput engineOutput(const QVector<RadarPacketData>& packets, const RadarConfig& config)
{
    TargetTracking engine;
    engine.radarConfig() = config;
    EngineOutput output;
    for (int i = 0; i < packets.size(); ++i) {
        QVector<ValidationData> validation;
        engine.getValidationFromData(packets[i], validation);
        for (const ValidationData& v : validation)
            output.validation.append({i, long(packets[i].timestamp), v});
        long timestamp = 0;
        QVector<TargetData> targets;
        engine.getTargetsFromData(packets[i], timestamp, targets);
        for (const TargetData& t : targets)
            output.targets.append({i, timestamp, t});
    }
    return output;
}

QVector<TargetRow> parseTargetCsv(const QByteArray& csv)
{
    QList<QByteArray> lines = csv.split('\n');
    EXPECT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.takeFirst(),
              "packet,timestamp,number,elevation,azimuth,distance,velocity,confirmed");
    QVector<TargetRow> rows;
    for (const QByteArray& line : qAsConst(lines)) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> f = fields(line, 8);
        if (f.size() != 8)
            break;
        TargetRow row;
        row.packet = f[0].toInt();
        row.timestamp = f[1].toLong();
        row.target.number = f[2].toInt();
        row.target.elevation = number(f[3]);
        row.target.azimuth = number(f[4]);
        row.target.distance = number(f[5]);
        row.target.velocity = number(f[6]);
        EXPECT_TRUE(f[7] == "0" || f[7] == "1") << line.constData();
        row.target.confirmed = f[7] == "1";
        rows.append(row);
    }
    return rows;
}

QVector<ValidationRow> parseValidationCsv(const QByteArray& csv)
{
    QList<QByteArray> lines = csv.split('\n');
    EXPECT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.takeFirst(), "packet,timestamp,index,elevation,azimuth,distance,velocity");
    QVector<ValidationRow> rows;
    for (const QByteArray& line : qAsConst(lines)) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> f = fields(line, 7);
        if (f.size() != 7)
            break;
        ValidationRow row;
        row.packet = f[0].toInt();
        row.timestamp = f[1].toLong();
        row.record.index = f[2].toInt();
        row.record.elevation = float(number(f[3]));
        row.record.azimuth = float(number(f[4]));
        row.record.distance = float(number(f[5]));
        row.record.velocity = float(number(f[6]));
        rows.append(row);
    }
    return rows;
}

bool sameRows(const TargetRow& a, const TargetRow& b)
{
    return a.packet == b.packet && a.timestamp == b.timestamp &&
           a.target.number == b.target.number &&
           sameDouble(a.target.elevation, b.target.elevation) &&
           sameDouble(a.target.azimuth, b.target.azimuth) &&
           sameDouble(a.target.distance, b.target.distance) &&
           sameDouble(a.target.velocity, b.target.velocity) &&
           a.target.confirmed == b.target.confirmed;
}

bool sameRows(const ValidationRow& a, const ValidationRow& b)
{
    return a.packet == b.packet && a.timestamp == b.timestamp && a.record.index == b.record.index &&
           sameDouble(a.record.elevation, b.record.elevation) &&
           sameDouble(a.record.azimuth, b.record.azimuth) &&
           sameDouble(a.record.distance, b.record.distance) &&
           sameDouble(a.record.velocity, b.record.velocity);
}

ReplayRun runTrackreplay(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(TRACKREPLAY_PATH), arguments);
    ReplayRun run;
    if (!process.waitForFinished(processTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << "trackreplay did not finish";
        return run;
    }
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return run;
}

} // namespace trklib::test
