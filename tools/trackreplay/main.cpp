// trackreplay: tracks the radar packets of a pcap or pcapng capture offline
// and writes the targets of every packet as CSV.

#include "csvwriter.h"
#include "options.h"
#include "replaydriver.h"

#include "tools/common/capture/capturereader.h"
#include "tools/common/capture/datagramextractor.h"
#include "tools/common/capture/linklayer.h"
#include "tools/common/cli/progress.h"
#include "tools/common/cli/prologue.h"
#include "tools/common/cli/text.h"

#include <QFileInfo>
#include <QStringList>

#include <csignal>
#include <cstdio>

#include <unistd.h>

using namespace trklib::replay;
using trklib::cli::counted;
using trklib::cli::ProgressMeter;
using namespace trklib::capture;

namespace {

constexpr int exitFailure = 1; // unusable input or output

int fail(const QString& file, const QString& what)
{
    std::fprintf(stderr, "trackreplay: %s: %s\n", qUtf8Printable(file), qUtf8Printable(what));
    return exitFailure;
}

volatile std::sig_atomic_t interrupted = 0;

void interrupt(int)
{
    interrupted = 1;
}

// What one reading of the capture found.
struct Pass
{
    CaptureReader::Result end = CaptureReader::Result::End;
    int packets = 0;
    int datagrams = 0;
    int skippedFrames = 0;
    quint64 competingDatagrams = 0;
};

// Reads the capture from where the reader stands to its end (or a stop
// request) and tracks the radar datagrams that travelled in one direction.
Pass replay(CaptureReader& reader, const Options& options, DatagramExtractor::Direction direction,
            CsvWriter& targets, CsvWriter* validation, ProgressMeter& progress)
{
    DatagramExtractor extractor(reader.linkType(), options.port, direction);
    ReplayDriver driver(options.config, targets, validation);
    QByteArray frame;
    Pass pass;
    while (!interrupted && (pass.end = reader.next(frame)) == CaptureReader::Result::Frame) {
        if (const std::optional<CapturedDatagram> datagram = extractor.offer(frame))
            driver.offer(*datagram, reader.frameTimeUs());
        if (progress.due())
            progress.show(reader.bytesRead(), driver.completedPackets());
    }
    pass.packets = driver.completedPackets();
    pass.datagrams = extractor.datagrams();
    pass.skippedFrames = extractor.skippedFrames();
    pass.competingDatagrams = driver.competingDatagrams();
    return pass;
}

} // namespace

int main(int argc, char* argv[])
{
    Options options;
    QString message;
    const trklib::cli::Ask ask =
        trklib::cli::askOf(parseOptions(trklib::cli::commandLine(argc, argv), options, message));
    if (const std::optional<int> exitCode =
            trklib::cli::answer(ask, {"trackreplay", helpText, usage}, message))
        return *exitCode;

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
        return fail(targets.displayName(), targets.errorString());
    CsvWriter validation;
    CsvWriter* validationOut = options.validation.isEmpty() ? nullptr : &validation;
    if (validationOut && !validation.open(options.validation, CsvWriter::validationHeader))
        return fail(validation.displayName(), validation.errorString());
    // From here on a failure leaves every output file as it was: the rows
    // go to temporary files that take the files' places only at the end.
    const bool filesOut =
        !targets.writesDirectly() || (validationOut && !validation.writesDirectly());
    const QString notWritten = filesOut ? QStringLiteral("; no output file written") : QString();

    std::signal(SIGINT, interrupt);
    std::signal(SIGTERM, interrupt);
    ProgressMeter progress(::isatty(STDERR_FILENO) == 1, QFileInfo(capturePath).size());
    Pass pass = replay(reader, options, DatagramExtractor::Direction::Received, targets,
                       validationOut, progress);
    const int cutFrames = reader.cutFrames();
    int datagrams = pass.datagrams;
    // On a capture of all interfaces of the radar's host, the first pass
    // took what the host received and skipped what it sent (datagrams to
    // itself appear as both). A host that only sends received nothing:
    // replay its sent frames. Nothing was tracked, so the outputs hold
    // their headers only and the rows of the sent frames can follow.
    if (!interrupted && pass.end == CaptureReader::Result::End && pass.packets == 0 &&
        pass.skippedFrames > 0) {
        if (!reader.open(capturePath))
            return fail(
                capturePath,
                QStringLiteral("cannot read again (%1)%2").arg(reader.errorString(), notWritten));
        pass = replay(reader, options, DatagramExtractor::Direction::Sent, targets, validationOut,
                      progress);
        datagrams += pass.datagrams;
    }
    progress.clear();

    if (interrupted)
        return fail(capturePath, QStringLiteral("interrupted") + notWritten);
    if (pass.end == CaptureReader::Result::Error)
        return fail(capturePath, QStringLiteral("damaged or truncated capture after %1 (%2)%3")
                                     .arg(counted(pass.packets, "radar packet"),
                                          reader.errorString(), notWritten));
    if (pass.end == CaptureReader::Result::BadTime)
        return fail(capturePath, reader.errorString() + notWritten);
    if (pass.packets == 0) {
        QString what = datagrams == 0
                           ? QStringLiteral("no UDP datagram to port %1").arg(options.port)
                           : QStringLiteral("%1 to port %2 formed no radar packet")
                                 .arg(counted(datagrams, "UDP datagram"))
                                 .arg(options.port);
        // A short snapshot length keeps only the start of every frame: say
        // so, since the radar traffic may well be in the capture.
        if (cutFrames > 0)
            what += QStringLiteral(" (%1 cut short by the capture's snapshot length)")
                        .arg(counted(cutFrames, "frame"));
        return fail(capturePath, what + notWritten);
    }

    // Both outputs are flushed before either takes its place, so that a
    // full disk keeps both as they were; only the renames come after.
    if (!targets.flush())
        return fail(targets.displayName(), targets.errorString() + notWritten);
    if (validationOut && !validation.flush())
        return fail(validation.displayName(), validation.errorString() + notWritten);
    if (!targets.commit())
        return fail(targets.displayName(), targets.errorString() + notWritten);
    if (validationOut && !validation.commit())
        return fail(validation.displayName(), validation.errorString());
    // Not an error, but tracks that may lack what the user looked for.
    if (pass.competingDatagrams > 0)
        std::fprintf(stderr,
                     "trackreplay: %s: %llu UDP datagrams dropped: another sender was tracked "
                     "(one at a time, until it is silent for 2 s)\n",
                     qUtf8Printable(capturePath), (unsigned long long)pass.competingDatagrams);
    return 0;
}
