#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

struct pcap;
struct pcap_dumper;

namespace trklib::sim {

// Writes Ethernet frames into a classic pcap file (microsecond time stamps,
// link type Ethernet) through libpcap.
class PcapWriter
{
public:
    PcapWriter();
    ~PcapWriter();

    // False with a message in error when the file cannot be created.
    bool open(const QString& path, QString& error);
    bool isOpen() const { return dumper_ != nullptr; }
    void write(const QByteArray& frame, qint64 timeUs);
    // Flushes and closes; also done by the destructor.
    void close();

private:
    struct PcapCloser
    {
        void operator()(pcap* p) const;
    };
    std::unique_ptr<pcap, PcapCloser> handle_;
    pcap_dumper* dumper_ = nullptr;
};

} // namespace trklib::sim
