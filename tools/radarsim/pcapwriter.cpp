#include "pcapwriter.h"

#include "util/units.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>

#include <unistd.h>

namespace trklib::sim {

namespace {
constexpr int snapLengthBytes = 65535;
constexpr qint64 microsecondsPerSecond = util::usPerS;
} // namespace

void PcapWriter::PcapCloser::operator()(pcap* p) const
{
    pcap_close(p);
}

PcapWriter::PcapWriter() = default;

PcapWriter::~PcapWriter()
{
    closeDumper();
}

bool PcapWriter::open(const QString& path, QString& error, int linkType)
{
    closeDumper();
    file_.discard();
    path_ = path;
    error_.clear();
    if (!file_.open(path)) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file_.errorString());
        return false;
    }
    handle_.reset(pcap_open_dead(linkType, snapLengthBytes));
    // libpcap writes through a stdio stream of its own: one on a duplicate
    // of the output's descriptor, closed by pcap_dump_close().
    const int descriptor = handle_ ? ::dup(file_.handle()) : -1;
    FILE* stream = descriptor >= 0 ? ::fdopen(descriptor, "wb") : nullptr;
    if (!stream) {
        error = QStringLiteral("cannot write %1: %2").arg(path, cli::systemReason(errno));
        if (descriptor >= 0)
            ::close(descriptor);
        handle_.reset();
        file_.discard();
        return false;
    }
    // The file header only goes into the stream's buffer, so this fails
    // only for a link type that a pcap file cannot name (never one of ours).
    dumper_ = pcap_dump_fopen(handle_.get(), stream);
    if (!dumper_) {
        error = QStringLiteral("cannot write %1: %2")
                    .arg(path, QString::fromLocal8Bit(pcap_geterr(handle_.get())));
        handle_.reset();
        file_.discard();
        return false;
    }
    return true;
}

void PcapWriter::write(const QByteArray& frame, qint64 timeUs)
{
    if (!dumper_ || !error_.isEmpty())
        return;
    pcap_pkthdr header{};
    header.ts.tv_sec = time_t(timeUs / microsecondsPerSecond);
    header.ts.tv_usec = suseconds_t(timeUs % microsecondsPerSecond);
    header.caplen = bpf_u_int32(frame.size());
    header.len = bpf_u_int32(frame.size());
    errno = 0;
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header,
              reinterpret_cast<const u_char*>(frame.constData()));
    // The stream drops its buffer when a write fails: note the reason now,
    // and write nothing more.
    if (std::ferror(pcap_dump_file(dumper_)))
        fail(errno);
}

bool PcapWriter::flush()
{
    // The frames are buffered: a full disk may show only now.
    errno = 0;
    if (dumper_ && error_.isEmpty() &&
        (pcap_dump_flush(dumper_) != 0 || std::ferror(pcap_dump_file(dumper_))))
        fail(errno);
    return error_.isEmpty();
}

bool PcapWriter::commit()
{
    if (!flush()) {
        closeDumper();
        file_.discard();
        return false;
    }
    closeDumper();
    if (!file_.commit())
        error_ = QStringLiteral("cannot write %1: %2").arg(path_, file_.errorString());
    return error_.isEmpty();
}

void PcapWriter::closeDumper()
{
    if (dumper_)
        pcap_dump_close(dumper_);
    dumper_ = nullptr;
    handle_.reset();
}

void PcapWriter::fail(int errnoValue)
{
    error_ =
        QStringLiteral("cannot write %1: %2")
            .arg(path_, errnoValue ? cli::systemReason(errnoValue) : QStringLiteral("write error"));
}

} // namespace trklib::sim
