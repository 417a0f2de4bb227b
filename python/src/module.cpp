// trklib._trklib: the library's engine, packets, capture reading, live
// reception and ground conversion for Python. The package trklib wraps it.

#include "bindings.h"

#include "input/wireformat.h"

using namespace trklib::python;

PYBIND11_MODULE(_trklib, m)
{
    m.doc() = "Bindings of the trklib radar tracking library (use the package trklib).";

    // Raised for captures that cannot be read on; a ValueError, so that bad
    // input of any kind can be caught as one.
    py::register_exception<CaptureError>(m, "CaptureError", PyExc_ValueError);

    m.attr("DEFAULT_PORT") = trklib::wire::defaultPort;
    m.attr("CELL_COUNT") = trklib::wire::cellCount;
    m.attr("HEADER_BYTES") = trklib::wire::headerBytes;
    m.attr("PACKET_BYTES") = trklib::wire::packetBytes;
    py::tuple blocks(trklib::wire::blockCount);
    for (int i = 0; i < trklib::wire::blockCount; ++i)
        blocks[i] = trklib::wire::blockBytes[i];
    m.attr("BLOCK_BYTES") = blocks;

    bindConfig(m);
    bindRecords(m);
    bindPacket(m);
    bindEngine(m);
    bindCapture(m);
    bindReceiver(m);
}
