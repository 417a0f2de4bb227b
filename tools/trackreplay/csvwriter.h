#pragma once

#include "interface/targettrackinginterface.h"
#include "tools/common/cli/outputfiles.h"

#include <QString>

namespace trklib::replay {

// One CSV output: a file, or standard output for "-". A file appears only
// when commit() succeeds; until then, and when the writer is destroyed
// uncommitted, an existing file keeps its contents (see cli::OutputFile).
// Numbers are written with 17 significant digits so that they read back
// exactly.
class CsvWriter
{
public:
    static constexpr const char* targetHeader =
        "packet,timestamp,number,elevation,azimuth,distance,velocity,confirmed";
    static constexpr const char* validationHeader =
        "packet,timestamp,index,elevation,azimuth,distance,velocity";

    // False when the file cannot be written; errorString() says why.
    bool open(const QString& path, const char* header);
    void writeTarget(int packet, long timestamp, const TargetData& target);
    void writeValidation(int packet, long timestamp, const ValidationData& record);
    // Hands the buffered rows to the file; false when anything could not be
    // written.
    bool flush();
    // Flushes and puts the file in its place; false as flush() is.
    bool commit();
    // Standard output, a device or a pipe: nothing kept back until commit().
    bool writesDirectly() const { return file_.writesDirectly(); }
    // "standard output" or the path.
    QString displayName() const { return file_.displayName(); }
    QString errorString() const { return error_; }

private:
    void writeLine(const char* line, int length);

    cli::OutputFile file_;
    QString error_;
};

} // namespace trklib::replay
