// Radar packets from a pcap or pcapng capture, read as trackreplay reads
// them: libpcap through CaptureReader, the UDP datagrams to the radar port
// through DatagramExtractor (IPv4, IPv6, fragments), packets through the
// library's assembler with the frames' capture times.

#include "bindings.h"

#include "engine/targettracking.h"
#include "input/datagramassembler.h"
#include "tools/common/capture/capturereader.h"
#include "tools/common/capture/datagramextractor.h"
#include "tools/common/capture/linklayer.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace trklib::python {

namespace {

using capture::CaptureReader;
using capture::DatagramExtractor;

quint16 checkedPort(long port)
{
    if (port < 1 || port > 65535)
        throw py::value_error("port must be from 1 to 65535, not " + std::to_string(port));
    return quint16(port);
}

// The packets of one capture, one at a time. As in trackreplay, the frames
// the capturing host received are taken; a capture in which the host only
// sent (it holds no received radar packet, but skipped frames of the other
// direction) is read a second time for its sent frames.
class CapturePackets
{
public:
    CapturePackets(const std::string& path, long port)
        : path_(QString::fromStdString(path)), port_(checkedPort(port))
    {
        open(DatagramExtractor::Direction::Received);
    }

    // The next packet; none at the end of the capture.
    std::optional<RadarPacketData> next()
    {
        QByteArray frame;
        while (!done_) {
            switch (reader_.next(frame)) {
            case CaptureReader::Result::Frame:
                if (const auto datagram = extractor_->offer(frame)) {
                    if (assembler_->offer(datagram->payload, datagram->source, datagram->sourcePort,
                                          reader_.frameTimeUs()) == DataParser::Complete) {
                        ++packets_;
                        return assembler_->packet();
                    }
                }
                break;
            case CaptureReader::Result::End:
                if (direction_ == DatagramExtractor::Direction::Received && packets_ == 0 &&
                    extractor_->skippedFrames() > 0)
                    open(DatagramExtractor::Direction::Sent);
                else
                    done_ = true;
                break;
            case CaptureReader::Result::Error:
                done_ = true;
                fail(QStringLiteral("damaged or truncated capture after %1 radar packet%2 (%3)")
                         .arg(packets_)
                         .arg(packets_ == 1 ? "" : "s")
                         .arg(reader_.errorString()));
            case CaptureReader::Result::BadTime:
                done_ = true;
                fail(reader_.errorString());
            }
        }
        return std::nullopt;
    }

private:
    [[noreturn]] void fail(const QString& why) const
    {
        throw CaptureError((path_ + QStringLiteral(": ") + why).toStdString());
    }

    void open(DatagramExtractor::Direction direction)
    {
        if (!reader_.open(path_))
            fail(QStringLiteral("not a capture file (%1)").arg(reader_.errorString()));
        if (!capture::isSupportedLinkType(reader_.linkType()))
            fail(QStringLiteral("unsupported link type %1").arg(reader_.linkType()));
        direction_ = direction;
        extractor_.emplace(reader_.linkType(), port_, direction);
        assembler_ = std::make_unique<DatagramAssembler>();
    }

    QString path_;
    quint16 port_;
    CaptureReader reader_;
    DatagramExtractor::Direction direction_ = DatagramExtractor::Direction::Received;
    std::optional<DatagramExtractor> extractor_;
    std::unique_ptr<DatagramAssembler> assembler_;
    int packets_ = 0;
    bool done_ = false;
};

} // namespace

void bindCapture(py::module_& m)
{
    py::class_<CapturePackets>(m, "CapturePackets",
                               "Iterator of the radar packets of a capture (see read_capture).")
        .def(py::init<const std::string&, long>(), py::arg("path"),
             py::arg("port") = long(wire::defaultPort))
        .def("__iter__", [](CapturePackets& self) -> CapturePackets& { return self; })
        .def("__next__", [](CapturePackets& self) {
            std::optional<RadarPacketData> packet;
            {
                py::gil_scoped_release unlocked;
                packet = self.next();
            }
            if (!packet)
                throw py::stop_iteration();
            return std::move(*packet);
        });

    m.def(
        "_replay",
        [](const std::string& path, const RadarConfig& config, long port) {
            CapturePackets packets(path, port);
            TargetTracking engine;
            engine.radarConfig() = checkedConfig(config);
            std::vector<std::pair<long, QVector<TargetData>>> results;
            {
                py::gil_scoped_release unlocked;
                while (const std::optional<RadarPacketData> packet = packets.next()) {
                    results.emplace_back();
                    engine.getTargetsFromData(*packet, results.back().first, results.back().second);
                }
            }
            py::list list;
            for (const auto& [timestamp, targets] : results)
                list.append(py::make_tuple(timestamp, targetArray(targets)));
            return list;
        },
        py::arg("path"), py::arg("config"), py::arg("port") = long(wire::defaultPort));
}

} // namespace trklib::python
