#pragma once

#include "tools/common/cli/outputfiles.h"

#include <QByteArray>
#include <QString>

#include <pcap/dlt.h>

#include <memory>

struct pcap;
struct pcap_dumper;

namespace trklib::sim {

// Writes frames into a classic pcap file (microsecond time stamps) through
// libpcap. The file appears when commit() succeeds; until then, and when
// the writer is destroyed uncommitted, an existing file keeps its contents
// (see cli::OutputFile). "-" writes to standard output.
class PcapWriter
{
public:
    PcapWriter();
    ~PcapWriter();

    // False with a message in error when the file cannot be written.
    // linkType: a DLT_ value that says what the frames are.
    bool open(const QString& path, QString& error, int linkType = DLT_EN10MB);
    bool isOpen() const { return dumper_ != nullptr; }
    void write(const QByteArray& frame, qint64 timeUs);
    // Hands the buffered frames to the file. False when anything written
    // could not reach it (errorString() says why).
    bool flush();
    // Flushes, closes and puts the file in its place; false as flush() is.
    bool commit();
    QString errorString() const { return error_; }

private:
    struct PcapCloser
    {
        void operator()(pcap* p) const;
    };
    void fail(int errnoValue);
    void closeDumper();

    cli::OutputFile file_;
    std::unique_ptr<pcap, PcapCloser> handle_;
    pcap_dumper* dumper_ = nullptr;
    QString path_;
    QString error_;
};

} // namespace trklib::sim
