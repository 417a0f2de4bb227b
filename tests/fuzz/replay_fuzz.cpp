// Fuzz target: a whole capture file through trackreplay's path: libpcap's
// reader (pcap or pcapng), the datagram extractor, and the replay driver,
// which assembles radar packets and tracks them, writing both CSV outputs
// (to /dev/null). As trackreplay does, the frames the host sent are read in
// a second pass when those it received formed no packet.
//
// The input is the capture file, handed to libpcap through a memory file.

#include "fuzzinput.h"

#include "capturereader.h"
#include "csvwriter.h"
#include "datagramextractor.h"
#include "linklayer.h"
#include "replaydriver.h"

#include "input/datagramassembler.h"
#include "input/wireformat.h"
#include "tools/common/mountingoptions.h"

#include <QString>

#include <sys/mman.h>
#include <unistd.h>

namespace trklib::fuzz {
namespace {

using namespace trklib::replay;

// The engine computes elapsed time as current - previous in 64 bits, which
// overflows for packet timestamps more than 2^63 ms apart; saturating
// arithmetic for it is on its way into TargetTracking. Until it is in, a
// run stops before a packet more than 2^62 ms from the one tracked before,
// so that the fuzzer looks for other faults. Once the fix is in, set
// boundTimeSteps to false and move the capture of tests/fuzz/pending/replay/
// (which overflows without the bound) to regressions/replay/.
constexpr bool boundTimeSteps = true;
constexpr qint64 maxTimeStepMs = qint64(1) << 62;

// Sees the datagrams the driver sees, through an assembler of its own, and
// so knows the timestamp of each packet before the driver tracks it.
class TimeStepGuard
{
public:
    bool admits(const QByteArray& datagram, qint64 timeUs)
    {
        if (assembler_.offer(datagram, timeUs) != DataParser::Complete)
            return true;
        const qint64 timestampMs = assembler_.packet().timestamp;
        const __int128 stepMs = __int128(timestampMs) - lastMs_;
        if (boundTimeSteps && tracked_ && (stepMs > maxTimeStepMs || -stepMs > maxTimeStepMs))
            return false;
        tracked_ = true;
        lastMs_ = timestampMs;
        return true;
    }

private:
    DatagramAssembler assembler_;
    bool tracked_ = false;
    qint64 lastMs_ = 0;
};

struct Pass
{
    int packets = 0;
    int skippedFrames = 0;
};

Pass replay(CaptureReader& reader, DatagramExtractor::Direction direction)
{
    CsvWriter targets;
    CsvWriter validation;
    const QString nowhere = QStringLiteral("/dev/null");
    check(targets.open(nowhere, CsvWriter::targetHeader) &&
              validation.open(nowhere, CsvWriter::validationHeader),
          "/dev/null takes the CSV output");
    DatagramExtractor extractor(reader.linkType(), wire::defaultPort, direction);
    ReplayDriver driver(tools::defaultMounting(), targets, &validation);
    TimeStepGuard guard;
    QByteArray frame;
    while (reader.next(frame) == CaptureReader::Result::Frame) {
        const std::optional<QByteArray> datagram = extractor.offer(frame);
        if (!datagram)
            continue;
        if (!guard.admits(*datagram, reader.frameTimeUs()))
            break;
        driver.offer(*datagram, reader.frameTimeUs());
    }
    check(targets.commit() && validation.commit(), "the CSV rows fit their buffers");
    return {driver.completedPackets(), extractor.skippedFrames()};
}

// A file in memory with a path that libpcap can open, for every run.
QString captureFile(const std::uint8_t* data, std::size_t size)
{
    static const int fd = memfd_create("capture", 0);
    check(fd >= 0 && ftruncate(fd, 0) == 0, "a memory file for the capture");
    for (std::size_t written = 0; written < size;) {
        const ssize_t n = pwrite(fd, data + written, size - written, off_t(written));
        check(n > 0, "the capture goes into the memory file");
        written += size_t(n);
    }
    return QStringLiteral("/proc/self/fd/%1").arg(fd);
}

} // namespace
} // namespace trklib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace trklib::fuzz;

    const QString path = captureFile(data, size);
    CaptureReader reader;
    if (!reader.open(path) || !isSupportedLinkType(reader.linkType()))
        return 0;
    const Pass received = replay(reader, DatagramExtractor::Direction::Received);
    if (received.packets == 0 && received.skippedFrames > 0 && reader.open(path))
        replay(reader, DatagramExtractor::Direction::Sent);
    return 0;
}
