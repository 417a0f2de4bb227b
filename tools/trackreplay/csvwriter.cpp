#include "csvwriter.h"

#include <cstdio>

namespace trklib::replay {

namespace {

constexpr int maxLineBytes = 512; // seven numbers of at most 24 characters each

} // namespace

bool CsvWriter::open(const QString& path, const char* header)
{
    if (path.isEmpty()) {
        if (!file_.open(stdout, QIODevice::WriteOnly))
            return false;
    } else {
        file_.setFileName(path);
        if (!file_.open(QIODevice::WriteOnly | QIODevice::Truncate))
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

bool CsvWriter::close()
{
    if (file_.isOpen() && !file_.flush())
        failed_ = true;
    file_.close();
    return !failed_;
}

void CsvWriter::writeLine(const char* line, int length)
{
    if (length < 0 || length >= maxLineBytes || file_.write(line, length) != length)
        failed_ = true;
}

} // namespace trklib::replay
