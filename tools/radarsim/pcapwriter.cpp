#include "pcapwriter.h"

#include <QFile>

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace trklib::sim {

namespace {
constexpr int snapLengthBytes = 65535;
constexpr qint64 microsecondsPerSecond = 1000000;
} // namespace

void PcapWriter::PcapCloser::operator()(pcap* p) const
{
    pcap_close(p);
}

PcapWriter::PcapWriter() = default;

PcapWriter::~PcapWriter()
{
    close();
}

bool PcapWriter::open(const QString& path, QString& error)
{
    close();
    path_ = path;
    error_.clear();
    handle_.reset(pcap_open_dead(DLT_EN10MB, snapLengthBytes));
    if (!handle_) {
        error = QStringLiteral("cannot set up a pcap writer");
        return false;
    }
    dumper_ = pcap_dump_open(handle_.get(), QFile::encodeName(path).constData());
    if (!dumper_) {
        // libpcap's message names the file already: "PATH: reason".
        QString reason = QString::fromLocal8Bit(pcap_geterr(handle_.get()));
        const QString prefix = path + QLatin1String(": ");
        if (reason.startsWith(prefix))
            reason.remove(0, prefix.size());
        error = QStringLiteral("cannot write %1: %2").arg(path, reason);
        handle_.reset();
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

bool PcapWriter::close()
{
    if (dumper_) {
        // The frames are buffered: a full disk may show only now.
        errno = 0;
        if (error_.isEmpty() &&
            (pcap_dump_flush(dumper_) != 0 || std::ferror(pcap_dump_file(dumper_))))
            fail(errno);
        pcap_dump_close(dumper_);
        dumper_ = nullptr;
    }
    handle_.reset();
    return error_.isEmpty();
}

void PcapWriter::fail(int errnoValue)
{
    error_ = QStringLiteral("cannot write %1: %2")
                 .arg(path_, errnoValue ? QString::fromLocal8Bit(std::strerror(errnoValue))
                                        : QStringLiteral("write error"));
}

} // namespace trklib::sim
