#include "pcapwriter.h"

#include <QFile>

#include <pcap/pcap.h>

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
    handle_.reset(pcap_open_dead(DLT_EN10MB, snapLengthBytes));
    if (!handle_) {
        error = QStringLiteral("cannot set up a pcap writer");
        return false;
    }
    dumper_ = pcap_dump_open(handle_.get(), QFile::encodeName(path).constData());
    if (!dumper_) {
        error = QStringLiteral("cannot write %1: %2")
                    .arg(path, QString::fromLocal8Bit(pcap_geterr(handle_.get())));
        handle_.reset();
        return false;
    }
    return true;
}

void PcapWriter::write(const QByteArray& frame, qint64 timeUs)
{
    if (!dumper_)
        return;
    pcap_pkthdr header{};
    header.ts.tv_sec = time_t(timeUs / microsecondsPerSecond);
    header.ts.tv_usec = suseconds_t(timeUs % microsecondsPerSecond);
    header.caplen = bpf_u_int32(frame.size());
    header.len = bpf_u_int32(frame.size());
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header,
              reinterpret_cast<const u_char*>(frame.constData()));
}

void PcapWriter::close()
{
    if (dumper_) {
        pcap_dump_close(dumper_);
        dumper_ = nullptr;
    }
    handle_.reset();
}

} // namespace trklib::sim
