#include "csvwriter.h"

#include <cstdio>

namespace trklib::replay {

namespace {

constexpr int maxLineBytes = 512; // seven numbers of at most 24 characters each

} // namespace

bool CsvWriter::open(const QString& path, const char* header)
{
    error_.clear();
    if (!file_.open(path)) {
        error_ = file_.errorString();
        return false;
    }
    char line[maxLineBytes];
    writeLine(line, std::snprintf(line, sizeof line, "%s\n", header));
    return true;
}

void CsvWriter::writeTarget(int packet, long timestamp, const TargetData& t)
{
    char line[maxLineBytes];
    writeLine(line, std::snprintf(line, sizeof line, "%d,%ld,%d,%.17g,%.17g,%.17g,%.17g,%d\n",
                                  packet, timestamp, int(t.number), t.elevation, t.azimuth,
                                  t.distance, t.velocity, t.confirmed ? 1 : 0));
}

void CsvWriter::writeValidation(int packet, long timestamp, const ValidationData& v)
{
    char line[maxLineBytes];
    writeLine(line, std::snprintf(line, sizeof line, "%d,%ld,%d,%.17g,%.17g,%.17g,%.17g\n", packet,
                                  timestamp, int(v.index), double(v.elevation), double(v.azimuth),
                                  double(v.distance), double(v.velocity)));
}

bool CsvWriter::flush()
{
    if (error_.isEmpty() && !file_.flush())
        error_ = file_.errorString();
    return error_.isEmpty();
}

bool CsvWriter::commit()
{
    if (!flush()) {
        file_.discard();
        return false;
    }
    if (!file_.commit())
        error_ = file_.errorString();
    return error_.isEmpty();
}

void CsvWriter::writeLine(const char* line, int length)
{
    if (!error_.isEmpty() || !file_.isOpen())
        return;
    if (length < 0 || length >= maxLineBytes) {
        error_ = QStringLiteral("a row too long for its buffer");
        return;
    }
    if (!file_.write(line, length))
        error_ = file_.errorString();
}

} // namespace trklib::replay
