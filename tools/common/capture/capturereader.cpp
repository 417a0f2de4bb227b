#include "tools/common/capture/capturereader.h"

#include "util/units.h"

#include <QFile>
#include <QFileInfo>

#include <pcap/pcap.h>

#include <cstdio>

namespace trklib::capture {

namespace {

// libpcap hands out microsecond time stamps unless asked for nanoseconds.
constexpr qint64 microsecondsPerSecond = util::usPerS;

} // namespace

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
    frames_ = 0;
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
    case 1: {
        // libpcap 1.10 computes pcapng times in unsigned 64-bit seconds and
        // hands them over wrapped into time_t: any value can come out.
        qint64 timeUs = 0;
        qint64 gapUs = 0;
        ++frames_;
        if (__builtin_mul_overflow(qint64(header->ts.tv_sec), microsecondsPerSecond, &timeUs) ||
            __builtin_add_overflow(timeUs, qint64(header->ts.tv_usec), &timeUs)) {
            error_ = QStringLiteral("capture time of frame %1 (%2 s) does not fit 64-bit "
                                    "microseconds")
                         .arg(frames_)
                         .arg(qint64(header->ts.tv_sec));
            return Result::BadTime;
        }
        if (frames_ > 1 && __builtin_sub_overflow(timeUs, frameTimeUs_, &gapUs)) {
            error_ = QStringLiteral("capture times of frames %1 and %2 lie more than 2^63 us "
                                    "apart")
                         .arg(frames_ - 1)
                         .arg(frames_);
            return Result::BadTime;
        }
        frame = QByteArray(reinterpret_cast<const char*>(data), int(header->caplen));
        frameTimeUs_ = timeUs;
        if (header->caplen < header->len)
            ++cutFrames_;
        return Result::Frame;
    }
    case PCAP_ERROR_BREAK:
        return Result::End;
    default:
        error_ = QString::fromLocal8Bit(pcap_geterr(handle_.get()));
        return Result::Error;
    }
}

qint64 CaptureReader::bytesRead() const
{
    FILE* file = handle_ ? pcap_file(handle_.get()) : nullptr;
    return file ? qint64(std::ftell(file)) : 0;
}

} // namespace trklib::capture
