#pragma once

#include "interface/targettrackinginterface.h"

#include <QFile>
#include <QString>

namespace trklib::replay {

// One CSV output: a file, or standard output for an empty path. Numbers are
// written with 17 significant digits so that they read back exactly.
class CsvWriter
{
public:
    static constexpr const char* targetHeader =
        "packet,timestamp,number,elevation,azimuth,distance,velocity,confirmed";
    static constexpr const char* validationHeader =
        "packet,timestamp,index,elevation,azimuth,distance,velocity";

    // False when the file cannot be created.
    bool open(const QString& path, const char* header);
    void writeTarget(int packet, long timestamp, const TargetData& target);
    void writeValidation(int packet, long timestamp, const ValidationData& record);
    // Flushes; false when anything could not be written.
    bool close();
    QString errorString() const { return file_.errorString(); }

private:
    void writeLine(const char* line, int length);

    QFile file_;
    bool failed_ = false;
};

} // namespace trklib::replay
