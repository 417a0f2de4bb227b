#include "tools/common/service/eventlog.h"

#include <QByteArray>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>

namespace trklib::service {

namespace {

// systemd names the journal's stream in JOURNAL_STREAM as "device:inode";
// standard error is that stream when both match.
bool stderrIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    struct stat info
    {
    };
    if (stream.isEmpty() || fstat(2, &info) != 0)
        return false;
    return stream == QByteArray::number(quint64(info.st_dev)) + ':' +
                         QByteArray::number(quint64(info.st_ino));
}

} // namespace

void logEvent(Priority priority, const QString& line)
{
    static const bool journal = stderrIsJournal();
    // One call per line: stdio locks the stream, so lines of several
    // threads never mix.
    if (journal)
        std::fprintf(stderr, "<%d>%s\n", int(priority), qUtf8Printable(line));
    else
        std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, qUtf8Printable(line));
}

} // namespace trklib::service
