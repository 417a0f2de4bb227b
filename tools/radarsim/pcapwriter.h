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
    // Flushes and closes; also done by the destructor. False when anything
    // written could not reach the file (errorString() says why).
    bool close();
    QString errorString() const { return error_; }

private:
    struct PcapCloser
    {
        void operator()(pcap* p) const;
    };
    void fail(int errnoValue);

    std::unique_ptr<pcap, PcapCloser> handle_;
    pcap_dumper* dumper_ = nullptr;
    QString path_;
    QString error_;
};

} // namespace trklib::sim
