#pragma once

#include "interface/targettrackinginterface.h"

#include <QString>
#include <QVector>

namespace trklib::cli {

// One mounting option of the tools' command lines (--tilt, --pan, --height,
// --pan-offset, --orientation), with the meaning of the field of
// RadarConfig it sets. The table lives in tools/common/mounting.tsv, which
// scripts read too, so that every tool has the same names, defaults and
// limits.
struct MountingOption
{
    QString name;        // without the dashes: "pan-offset"
    double defaultValue; // degrees, metres, or 0|1 for the orientation
    double least;        // the least value accepted
    double greatest;     // the greatest value accepted
    QString valueName;   // for the help text: "DEG", "M", "0|1"
    QString meaning;
};

// The options in the table's order.
const QVector<MountingOption>& mountingOptions();

// Every option at its default.
RadarConfig defaultMounting();

// True when name (without dashes) is a mounting option.
bool isMountingOption(const QString& name);

// Sets the field of config that the option name (without dashes) stands
// for. False, with a one-line message in error and config unchanged, when
// value is not a number within the option's limits (the orientation takes
// exactly "0" or "1").
bool setMountingOption(RadarConfig& config, const QString& name, const QString& value,
                       QString& error);

// One help line per option: "  --NAME VALUE", padded to width characters,
// then the meaning, the limits and the default.
QString mountingHelp(int width);

} // namespace trklib::cli
