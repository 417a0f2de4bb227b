#pragma once

// What the translation units of the extension module trklib._trklib share:
// the record arrays and the functions that add each part to the module.

#include "input/radarpacketdata.h"
#include "interface/targettrackinginterface.h"

#include <QVector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <stdexcept>

namespace trklib::python {

namespace py = pybind11;

// A capture that cannot be read on: not a capture, damaged, cut off, or
// with impossible capture times. Raised in Python as trklib.CaptureError, a
// ValueError.
class CaptureError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Copies of the engine's records as NumPy structured arrays, one row per
// record, the fields named as the records' members.
py::array targetArray(const QVector<TargetData>& targets);
py::array reflectivityArray(const QVector<TargetReflectivity>& records);
py::array validationArray(const QVector<ValidationData>& records);

// The engine's mounting as the module's Config type holds it: checked
// (finite numbers, orientation 0 or 1) whenever it is set.
RadarConfig checkedConfig(const RadarConfig& config);

void bindConfig(py::module_& m);
void bindRecords(py::module_& m);
void bindPacket(py::module_& m);
void bindEngine(py::module_& m);
void bindCapture(py::module_& m);
void bindReceiver(py::module_& m);

} // namespace trklib::python
