// trklib.Packet (one radar packet: header fields and six arrays of 1024
// cells) and trklib.Assembler (datagrams in, packets out).

#include "bindings.h"

#include "input/datagramassembler.h"

#include <QByteArray>

namespace trklib::python {

namespace {

// A read-only NumPy view of one of the packet's arrays, which keeps the
// Python packet (and so the array's data) alive. Read-only because the
// arrays are implicitly shared with the assembler and other packets.
template <typename T, QVector<T> RadarPacketData::*field> py::array cellView(const py::object& self)
{
    const QVector<T>& cells = self.cast<const RadarPacketData&>().*field;
    py::array_t<T> view({py::ssize_t(cells.size())}, {py::ssize_t(sizeof(T))}, cells.constData(),
                        self);
    view.attr("setflags")(py::arg("write") = false);
    return std::move(view);
}

template <typename T, T RadarPacketData::*field>
void headerField(py::class_<RadarPacketData>& type, const char* name)
{
    type.def_property_readonly(name, [](const RadarPacketData& p) { return p.*field; });
}

QByteArray bytesOf(const py::buffer& data)
{
    const py::buffer_info info = data.request();
    if (info.ndim > 1 || info.itemsize != 1)
        throw py::type_error("a datagram must be bytes, bytearray or a one-dimensional buffer "
                             "of bytes");
    // A buffer of one dimension with items of one byte is contiguous unless
    // it has a stride; such a one is copied item by item.
    const auto* bytes = static_cast<const char*>(info.ptr);
    if (info.ndim == 0 || info.strides[0] == 1)
        return QByteArray(bytes, int(info.size));
    QByteArray copy(int(info.size), Qt::Uninitialized);
    for (py::ssize_t i = 0; i < info.size; ++i)
        copy[int(i)] = bytes[i * info.strides[0]];
    return copy;
}

py::dict assemblerCounts(const DatagramAssembler::Counts& c)
{
    py::dict counts;
    counts["datagrams"] = c.datagrams;
    counts["stray_datagrams"] = c.strayDatagrams;
    counts["packets"] = c.packets;
    counts["abandoned_packets"] = c.abandonedPackets;
    counts["bad_headers"] = c.badHeaders;
    return counts;
}

} // namespace

void bindPacket(py::module_& m)
{
    py::class_<RadarPacketData> packet(m, "Packet", R"(One radar packet.

The 48-byte header's fields as attributes (timestamp in milliseconds), and
the six arrays of one value per cell as read-only NumPy views: amplitude
(int8, dB), rel_velocity (float32, km/h, positive when the distance grows),
distance (float32, metres), elevation and azimuth (float32, degrees, radar
frame), phase_diff (int16, raw). Made by Assembler, read_capture and
Receiver.)");
    packet.def_property_readonly("sync", [](const RadarPacketData& p) {
        return py::bytes(reinterpret_cast<const char*>(p.sync.data()), p.sync.size());
    });
    headerField<qint8, &RadarPacketData::version>(packet, "version");
    headerField<qint8, &RadarPacketData::headerSize>(packet, "header_size");
    headerField<qint16, &RadarPacketData::info08>(packet, "info08");
    headerField<qint8, &RadarPacketData::info10>(packet, "info10");
    headerField<qint8, &RadarPacketData::info11>(packet, "info11");
    headerField<qint64, &RadarPacketData::timestamp>(packet, "timestamp");
    headerField<qint32, &RadarPacketData::info20>(packet, "info20");
    headerField<qint32, &RadarPacketData::info24>(packet, "info24");
    headerField<qint8, &RadarPacketData::info28>(packet, "info28");
    headerField<qint8, &RadarPacketData::info29>(packet, "info29");
    headerField<qint8, &RadarPacketData::info30>(packet, "info30");
    headerField<qint8, &RadarPacketData::info31>(packet, "info31");
    headerField<qint32, &RadarPacketData::info32>(packet, "info32");
    headerField<qint32, &RadarPacketData::info36>(packet, "info36");
    headerField<qint8, &RadarPacketData::info40>(packet, "info40");
    headerField<qint8, &RadarPacketData::info41>(packet, "info41");
    headerField<qint16, &RadarPacketData::info42>(packet, "info42");
    headerField<qint32, &RadarPacketData::info44>(packet, "info44");
    packet.def_property_readonly("amplitude", cellView<signed char, &RadarPacketData::amplitude>);
    packet.def_property_readonly("rel_velocity", cellView<float, &RadarPacketData::relVelocity>);
    packet.def_property_readonly("distance", cellView<float, &RadarPacketData::distance>);
    packet.def_property_readonly("elevation", cellView<float, &RadarPacketData::elevation>);
    packet.def_property_readonly("azimuth", cellView<float, &RadarPacketData::azimuth>);
    packet.def_property_readonly("phase_diff", cellView<short, &RadarPacketData::phaseDiff>);
    packet.def("__repr__", [](const RadarPacketData& p) {
        return py::str("<trklib.Packet timestamp={} cells={}>")
            .format(p.timestamp, p.amplitude.size());
    });

    py::class_<DatagramAssembler>(m, "Assembler", R"(Turns radar datagrams into packets.

The library's datagram assembler, as the live reader and trackreplay use it:
a packet is a header datagram followed by the datagrams of its six arrays.
A datagram that fits no packet, or a bad header, is dropped and counted.)")
        .def(py::init<>())
        .def(
            "feed",
            [](DatagramAssembler& assembler, const py::buffer& datagram) -> py::object {
                if (assembler.offer(bytesOf(datagram)) != DataParser::Complete)
                    return py::none();
                return py::cast(assembler.packet());
            },
            py::arg("datagram"), "Offers one datagram; the packet it completes, else None.")
        .def("restart", &DatagramAssembler::restart,
             "Gives up the packet in progress: the next datagram must be a header.")
        .def_property_readonly(
            "counts", [](const DatagramAssembler& a) { return assemblerCounts(a.counts()); },
            "What the assembler has seen: datagrams, stray_datagrams, packets, "
            "abandoned_packets, bad_headers.");
}

} // namespace trklib::python
