// Fuzz target: a whole capture file through trackreplay's path: libpcap's
// reader (pcap or pcapng), the datagram extractor, and the replay driver,
// which assembles radar packets and tracks them, writing both CSV outputs
// (to /dev/null). As trackreplay does, the frames the host sent are read in
// a second pass when those it received formed no packet.
//
// The input is the capture file, handed to libpcap through a memory file.

#include "fuzzinput.h"

#include "csvwriter.h"
#include "replaydriver.h"

#include "tools/common/capture/capturereader.h"
#include "tools/common/capture/datagramextractor.h"
#include "tools/common/capture/linklayer.h"

#include "input/wireformat.h"
#include "tools/common/cli/mountingoptions.h"

#include <QString>

#include <sys/mman.h>
#include <unistd.h>

namespace trklib::fuzz {
namespace {

using namespace trklib::capture;
using namespace trklib::replay;

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
    ReplayDriver driver(cli::defaultMounting(), targets, &validation);
    QByteArray frame;
    while (reader.next(frame) == CaptureReader::Result::Frame) {
        if (const std::optional<CapturedDatagram> datagram = extractor.offer(frame))
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
