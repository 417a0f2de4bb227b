// trklib.Engine: the library's tracking engine, fed with packets.

#include "bindings.h"

#include "engine/targettracking.h"

#include <memory>

namespace trklib::python {

void bindEngine(py::module_& m)
{
    py::class_<TargetTracking>(m, "Engine", R"(The library's tracking engine.

Engine(config) tracks the packets handed to it, one cycle per packet, with
the state of the packets before: targets are numbered from 1 by each
engine. config is the radar's mounting (trklib.Config).)")
        .def(py::init([](const RadarConfig& config) {
                 auto engine = std::make_unique<TargetTracking>();
                 engine->radarConfig() = checkedConfig(config);
                 return engine;
             }),
             py::arg("config") = RadarConfig{})
        .def_property(
            "config", [](TargetTracking& e) { return e.radarConfig(); },
            [](TargetTracking& e, const RadarConfig& c) { e.radarConfig() = checkedConfig(c); },
            "The mounting; a new one takes effect with the next packet.")
        .def(
            "track",
            [](TargetTracking& engine, const RadarPacketData& packet) {
                long timestamp = 0;
                QVector<TargetData> targets;
                engine.getTargetsFromData(packet, timestamp, targets);
                return py::make_tuple(timestamp, targetArray(targets));
            },
            py::arg("packet"), R"(Tracks one packet: (timestamp, targets).

timestamp: the packet's, milliseconds. targets: a structured array of the
reported targets, fields number (int32), elevation (degrees, of the ground
point under the target, relative to the tilt), azimuth (degrees, relative
to the pan), distance (metres, slant range), velocity (km/h, signed) and
confirmed (bool).)")
        .def(
            "reflectivity",
            [](const TargetTracking& engine) {
                QVector<TargetReflectivity> records;
                engine.targetReflectivity(records);
                return reflectivityArray(records);
            },
            R"(The reflectivity of the targets the last track reported, one for each
and in their order: a structured array with the fields number (int32),
meanDbsm, maxDbsm, lastDbsm (dBsm: the mean, largest and latest of the
radar cross-section samples the tracker took) and samples (uint32).)")
        .def(
            "validate",
            [](TargetTracking& engine, const RadarPacketData& packet) {
                QVector<ValidationData> records;
                engine.getValidationFromData(packet, records);
                return validationArray(records);
            },
            py::arg("packet"), R"(The packet's amplitude maxima, without tracking it.

A structured array with the fields index (int32, signed cell), elevation,
azimuth (degrees), distance (metres) and velocity (km/h), all float32.)")
        .def("reset", &TargetTracking::resetTracking,
             "Forgets all candidates and targets, restarts the time base and the numbering.");
}

} // namespace trklib::python
