// trackreplay: tracks the radar packets of a pcap or pcapng capture offline
// and writes the targets of every packet as CSV.

#include "capturereader.h"
#include "csvwriter.h"
#include "datagramextractor.h"
#include "linklayer.h"
#include "options.h"
#include "replaydriver.h"

#include <QFileInfo>
#include <QStringList>

#include <cstdio>

using namespace trklib::replay;

namespace {

constexpr int exitFailure = 1; // unusable input or output
constexpr int exitUsage = 2;   // bad command line

int fail(const QString& file, const QString& what)
{
    std::fprintf(stderr, "trackreplay: %s: %s\n", qUtf8Printable(file), qUtf8Printable(what));
    return exitFailure;
}

// Checks the things libpcap reports only vaguely: a missing or empty file.
QString unreadableReason(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("no such file");
    if (!info.isFile())
        return QStringLiteral("not a regular file");
    if (!info.isReadable())
        return QStringLiteral("permission denied");
    if (info.size() == 0)
        return QStringLiteral("empty file, not a capture");
    return {};
}

// "1 radar packet", "2 radar packets".
QString counted(int count, const QString& noun)
{
    return QStringLiteral("%1 %2%3").arg(count).arg(noun).arg(count == 1 ? "" : "s");
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    Options options;
    QString message;
    switch (parseOptions(arguments, options, message)) {
    case ParseResult::Help:
        std::fputs(qUtf8Printable(helpText()), stdout);
        return 0;
    case ParseResult::Error:
        std::fprintf(stderr, "trackreplay: %s\n%s", qUtf8Printable(message),
                     qUtf8Printable(usage()));
        return exitUsage;
    case ParseResult::Run:
        break;
    }

    const QString& capturePath = options.capture;
    const QString reason = unreadableReason(capturePath);
    if (!reason.isEmpty())
        return fail(capturePath, reason);
    CaptureReader reader;
    if (!reader.open(capturePath))
        return fail(capturePath,
                    QStringLiteral("not a capture file (%1)").arg(reader.errorString()));
    if (!isSupportedLinkType(reader.linkType()))
        return fail(capturePath, QStringLiteral("unsupported link type %1").arg(reader.linkType()));

    CsvWriter targets;
    if (!targets.open(options.output, CsvWriter::targetHeader))
        return fail(options.output, targets.errorString());
    CsvWriter validation;
    if (!options.validation.isEmpty() &&
        !validation.open(options.validation, CsvWriter::validationHeader))
        return fail(options.validation, validation.errorString());

    DatagramExtractor extractor(reader.linkType(), options.port);
    ReplayDriver driver(options.config, targets,
                        options.validation.isEmpty() ? nullptr : &validation);
    QByteArray frame;
    CaptureReader::Result result;
    while ((result = reader.next(frame)) == CaptureReader::Result::Frame) {
        if (const std::optional<QByteArray> datagram = extractor.offer(frame))
            driver.offer(*datagram, reader.frameTimeUs());
    }

    const bool targetsWritten = targets.close();
    const bool validationWritten = validation.close();
    if (!targetsWritten)
        return fail(options.output.isEmpty() ? QStringLiteral("standard output") : options.output,
                    QStringLiteral("write error"));
    if (!validationWritten)
        return fail(options.validation, QStringLiteral("write error"));
    if (result == CaptureReader::Result::Error)
        return fail(capturePath, QStringLiteral("damaged or truncated capture after %1 (%2)")
                                     .arg(counted(driver.completedPackets(), "radar packet"),
                                          reader.errorString()));
    if (driver.completedPackets() == 0) {
        QString what = QStringLiteral("no radar packet found in %1 to port %2")
                           .arg(counted(extractor.datagrams(), "UDP datagram"))
                           .arg(options.port);
        // A short snapshot length keeps only the start of every frame: say
        // so, since the radar traffic may well be in the capture.
        if (reader.cutFrames() > 0)
            what += QStringLiteral(" (%1 cut short by the capture's snapshot length)")
                        .arg(counted(reader.cutFrames(), "frame"));
        return fail(capturePath, what);
    }
    return 0;
}
