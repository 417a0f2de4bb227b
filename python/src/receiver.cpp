// trklib.Receiver: live reception of radar packets over UDP, with the
// library's socket and assembler. Waits run without the GIL, in slices, so
// that other Python threads go on and Ctrl-C ends a wait.

#include "bindings.h"

#include "input/datagramassembler.h"
#include "input/radarsocket.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QThread>

#include <pybind11/stl.h>

#include <cmath>
#include <optional>
#include <string>

namespace trklib::python {

namespace {

// The longest wait without a look at Python's signal handlers (Ctrl-C).
constexpr qint64 sliceMs = 100;

QHostAddress parseAddress(const std::string& text, const char* what)
{
    QHostAddress address;
    if (!text.empty() && !address.setAddress(QString::fromStdString(text)))
        throw py::value_error(std::string(what) + " '" + text +
                              "' is not an IPv4 or IPv6 address literal");
    return address;
}

// A timeout in seconds (None: forever) as a deadline.
QDeadlineTimer deadlineOf(const std::optional<double>& timeoutS)
{
    if (!timeoutS)
        return QDeadlineTimer(QDeadlineTimer::Forever);
    if (!std::isfinite(*timeoutS) || *timeoutS < 0.0)
        throw py::value_error("timeout must be a number of seconds, 0 or more, or None");
    return QDeadlineTimer(qint64(std::ceil(*timeoutS * 1000.0)));
}

class Receiver
{
public:
    Receiver(const std::string& bindAddress, long port, const std::string& radarAddress)
        : socket_(wire::defaultPort)
    {
        const QHostAddress local = parseAddress(bindAddress, "bind address");
        const QHostAddress radar = parseAddress(radarAddress, "radar address");
        if (port < 1 || port > 65535)
            throw py::value_error("port must be from 1 to 65535, not " + std::to_string(port));
        if (!socket_.bind(local, quint16(port), radar)) {
            const std::string where = bindAddress.empty() ? "every interface" : bindAddress;
            PyErr_SetString(PyExc_OSError,
                            ("cannot bind UDP port " + std::to_string(port) + " on " + where +
                             ": the address is not one of this host's, or the port is taken")
                                .c_str());
            throw py::error_already_set();
        }
        assembler_.setOneSender(true);
    }

    // The next packet that completes within the timeout, else none. Bad
    // headers and stray datagrams are dropped and counted, as the library's
    // reader does; a packet whose next datagram is more than a second late
    // is given up.
    std::optional<RadarPacketData> receive(const std::optional<double>& timeoutS)
    {
        // The socket belongs to the thread that made it, as the library's
        // facade does: Qt cannot report on it to another thread.
        if (QThread::currentThread() != socket_.thread())
            throw std::runtime_error("a Receiver receives in the thread that made it only");
        const QDeadlineTimer deadline = deadlineOf(timeoutS);
        QByteArray datagram;
        QHostAddress sender;
        quint16 senderPort = 0;
        qint64 arrivalUs = 0; // as the kernel took the datagram in
        for (;;) {
            bool read = false;
            {
                py::gil_scoped_release unlocked;
                read = socket_.readDatagram(datagram, sender, senderPort, arrivalUs,
                                            std::min(deadline, QDeadlineTimer(sliceMs)));
            }
            if (read &&
                assembler_.offer(datagram, sender, senderPort, arrivalUs) == DataParser::Complete)
                return assembler_.packet();
            if (PyErr_CheckSignals() != 0)
                throw py::error_already_set();
            if (!read && deadline.hasExpired())
                return std::nullopt;
        }
    }

    py::dict stats() const
    {
        const RadarSocket::Counts s = socket_.counts();
        const DatagramAssembler::Counts a = assembler_.counts();
        py::dict counts;
        counts["datagrams"] = s.datagrams;
        counts["foreign_datagrams"] = s.foreignDatagrams;
        counts["stray_datagrams"] = a.strayDatagrams;
        counts["packets"] = a.packets;
        counts["abandoned_packets"] = a.abandonedPackets;
        counts["bad_headers"] = a.badHeaders;
        counts["senders"] = s.senders;
        counts["competing_datagrams"] = assembler_.competingDatagrams();
        counts["receive_buffer_bytes"] = socket_.effectiveReceiveBufferBytes();
        return counts;
    }

private:
    RadarSocket socket_;
    DatagramAssembler assembler_;
};

// Packets until one does not complete within the timeout.
struct PacketStream
{
    py::object receiver; // keeps the Receiver alive
    std::optional<double> timeoutS;
};

} // namespace

void bindReceiver(py::module_& m)
{
    py::class_<Receiver>(m, "Receiver", R"(Live reception of radar packets over UDP.

Receiver(bind_address="", port=34567, radar_address="") binds the UDP port
at once: on every interface (IPv4 and IPv6) for an empty bind_address, else
on that address of this host. An empty radar_address takes datagrams of any
sender, else only those from that address. A bad address or port raises
ValueError, a failed bind OSError. One sender (address and port) is
followed at a time, as an engine follows one: the first to complete a
packet; datagrams of another are counted as competing and dropped until the
followed one has been silent for 2 s, and then the other takes over with the
first packet it completes.
Receive in the thread that made the receiver (RuntimeError otherwise).)")
        .def(py::init<const std::string&, long, const std::string&>(), py::arg("bind_address") = "",
             py::arg("port") = long(wire::defaultPort), py::arg("radar_address") = "")
        .def(
            "receive",
            [](Receiver& r, std::optional<double> timeout) -> py::object {
                const std::optional<RadarPacketData> packet = r.receive(timeout);
                return packet ? py::cast(*packet) : py::none();
            },
            py::arg("timeout") = 1.0,
            "The next packet, or None when none completes within timeout seconds (None: "
            "wait for ever). Ctrl-C raises KeyboardInterrupt.")
        .def(
            "packets",
            [](py::object self, std::optional<double> timeout) {
                deadlineOf(timeout); // a bad timeout fails here, not at the first packet
                return PacketStream{std::move(self), timeout};
            },
            py::arg("timeout") = 1.0,
            "Iterator of packets; it ends when none completes within timeout seconds of the "
            "previous one (None: never). Ctrl-C raises KeyboardInterrupt.")
        .def_property_readonly("stats", &Receiver::stats,
                               "Counts since the receiver was made: datagrams, "
                               "foreign_datagrams, stray_datagrams, packets, "
                               "abandoned_packets, bad_headers, senders, competing_datagrams, "
                               "receive_buffer_bytes.");

    py::class_<PacketStream>(m, "_PacketStream")
        .def("__iter__", [](PacketStream& self) -> PacketStream& { return self; })
        .def("__next__", [](PacketStream& self) {
            std::optional<RadarPacketData> packet =
                self.receiver.cast<Receiver&>().receive(self.timeoutS);
            if (!packet)
                throw py::stop_iteration();
            return std::move(*packet);
        });
}

} // namespace trklib::python
