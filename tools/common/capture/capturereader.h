#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

struct pcap;

namespace trklib::capture {

// Why the file at path cannot be a capture, in a few words, for what
// libpcap reports only vaguely ("no such file", "empty file, not a
// capture"); empty when it may be one.
QString unreadableReason(const QString& path);

// Reads a pcap or pcapng file frame by frame through libpcap's offline API.
class CaptureReader
{
public:
    enum class Result
    {
        Frame,
        End,
        Error,  // damaged or cut off; errorString() has libpcap's reason
        BadTime // a capture time out of range; errorString() says which
    };

    CaptureReader();
    ~CaptureReader();

    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    // False when the file is not a capture libpcap can read; errorString()
    // then says why.
    bool open(const QString& path);
    // The link type of the capture's (first) interface, a DLT_ value.
    int linkType() const;
    // The next frame's captured bytes. Error when the file ends in the middle
    // of a record or cannot be read on. BadTime when the frame's capture
    // time does not fit 64-bit microseconds, or lies more than 2^63 us from
    // the previous frame's, so that no difference of two capture times
    // overflows (pcapng's time resolution and offset reach far beyond).
    Result next(QByteArray& frame);
    // The capture time of the frame last read, microseconds since the epoch.
    qint64 frameTimeUs() const { return frameTimeUs_; }
    // Frames read so far.
    qint64 frames() const { return frames_; }
    // How far into the file reading has got, bytes (libpcap reads ahead).
    qint64 bytesRead() const;
    // Frames read so far that the capture's snapshot length cut short of
    // their length on the wire.
    int cutFrames() const { return cutFrames_; }
    QString errorString() const { return error_; }

private:
    struct Close
    {
        void operator()(pcap* handle) const;
    };

    std::unique_ptr<pcap, Close> handle_;
    QString error_;
    qint64 frameTimeUs_ = 0;
    qint64 frames_ = 0;
    int cutFrames_ = 0;
};

} // namespace trklib::capture
