#pragma once

#include "engine/targettracking.h"
#include "input/radarpacketdata.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

namespace trklib::test {

// Packets of a small road scene: vehicles in both directions and a
// pedestrian, one packet every 50 ms, enough for confirmed targets.
QVector<RadarPacketData> movingScene(int packets);

// One row of trackreplay's target CSV, or of the engine's output on the
// same packet.
struct TargetRow
{
    int packet = 0;
    long timestamp = 0;
    TargetData target{};
};

struct ValidationRow
{
    int packet = 0;
    long timestamp = 0;
    ValidationData record{};
};

// What one engine gives on the packets, in trackreplay's order: validation
// first, then targets, for every packet.
struct EngineOutput
{
    QVector<TargetRow> targets;
    QVector<ValidationRow> validation;
};
EngineOutput engineOutput(const QVector<RadarPacketData>& packets, const RadarConfig& config);

// Parsing of the two CSV outputs; a malformed line fails the current test.
QVector<TargetRow> parseTargetCsv(const QByteArray& csv);
QVector<ValidationRow> parseValidationCsv(const QByteArray& csv);

// Exact comparison, NaN equal to NaN.
bool sameRows(const TargetRow& a, const TargetRow& b);
bool sameRows(const ValidationRow& a, const ValidationRow& b);

struct ReplayRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};
ReplayRun runTrackreplay(const QStringList& arguments);

} // namespace trklib::test
