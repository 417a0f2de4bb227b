#include "capturereader.h"

#include <QFile>

#include <pcap/pcap.h>

namespace trklib::replay {

namespace {

// libpcap hands out microsecond time stamps unless asked for nanoseconds.
constexpr qint64 microsecondsPerSecond = 1000000;

} // namespace

void CaptureReader::Close::operator()(pcap* handle) const
{
    pcap_close(handle);
}

CaptureReader::CaptureReader() = default;
CaptureReader::~CaptureReader() = default;

bool CaptureReader::open(const QString& path)
{
    char message[PCAP_ERRBUF_SIZE] = {};
    handle_.reset(pcap_open_offline(QFile::encodeName(path).constData(), message));
    if (!handle_) {
        error_ = QString::fromLocal8Bit(message);
        return false;
    }
    error_.clear();
    frameTimeUs_ = 0;
    cutFrames_ = 0;
    return true;
}

int CaptureReader::linkType() const
{
    return handle_ ? pcap_datalink(handle_.get()) : -1;
}

CaptureReader::Result CaptureReader::next(QByteArray& frame)
{
    if (!handle_)
        return Result::End;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    switch (pcap_next_ex(handle_.get(), &header, &data)) {
    case 1:
        frame = QByteArray(reinterpret_cast<const char*>(data), int(header->caplen));
        frameTimeUs_ = qint64(header->ts.tv_sec) * microsecondsPerSecond + header->ts.tv_usec;
        if (header->caplen < header->len)
            ++cutFrames_;
        return Result::Frame;
    case PCAP_ERROR_BREAK:
        return Result::End;
    default:
        error_ = QString::fromLocal8Bit(pcap_geterr(handle_.get()));
        return Result::Error;
    }
}

} // namespace trklib::replay
