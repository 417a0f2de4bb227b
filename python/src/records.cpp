// The engine's records as NumPy structured arrays, and the library's one
// conversion of reported targets into ground positions.

#include "bindings.h"

#include "util/groundposition.h"

#include <cstring>

namespace trklib::python {

namespace {

template <typename Record> py::array recordArray(const QVector<Record>& records)
{
    py::array_t<Record> array(py::ssize_t(records.size()));
    if (!records.isEmpty())
        std::memcpy(array.mutable_data(), records.constData(), sizeof(Record) * records.size());
    return std::move(array);
}

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// One field of a one-dimensional structured array of targets, as doubles.
Doubles targetField(const py::array& targets, const char* name)
{
    const py::object names = targets.dtype().attr("names");
    if (targets.ndim() != 1 || names.is_none() || !names.contains(name))
        throw py::type_error("targets must be a one-dimensional structured array with the "
                             "fields elevation, azimuth and distance, as Engine.track returns");
    return Doubles::ensure(targets[py::str(name)]);
}

// Ground points as an (n, 2) array of x, y in metres.
py::array_t<double> pointArray(py::ssize_t rows)
{
    return py::array_t<double>({rows, py::ssize_t(2)});
}

} // namespace

py::array targetArray(const QVector<TargetData>& targets)
{
    return recordArray(targets);
}

py::array reflectivityArray(const QVector<TargetReflectivity>& records)
{
    return recordArray(records);
}

py::array validationArray(const QVector<ValidationData>& records)
{
    return recordArray(records);
}

void bindRecords(py::module_& m)
{
    // The records' fields in their order, at the records' offsets.
    PYBIND11_NUMPY_DTYPE(TargetData, number, elevation, azimuth, distance, velocity, confirmed);
    PYBIND11_NUMPY_DTYPE(ValidationData, index, elevation, azimuth, distance, velocity);
    PYBIND11_NUMPY_DTYPE(TargetReflectivity, number, meanDbsm, maxDbsm, lastDbsm, samples);
    m.attr("REFLECTIVITY_DTYPE") = py::dtype::of<TargetReflectivity>();
    m.attr("TARGET_DTYPE") = py::dtype::of<TargetData>();
    m.attr("VALIDATION_DTYPE") = py::dtype::of<ValidationData>();

    m.def(
        "ground_position",
        [](const py::array& targets, const RadarConfig& config) {
            const Doubles elevation = targetField(targets, "elevation");
            const Doubles azimuth = targetField(targets, "azimuth");
            const Doubles distance = targetField(targets, "distance");
            const py::ssize_t n = elevation.shape(0);
            py::array_t<double> points = pointArray(n);
            auto out = points.mutable_unchecked<2>();
            for (py::ssize_t i = 0; i < n; ++i) {
                TargetData target{};
                target.elevation = elevation.at(i);
                target.azimuth = azimuth.at(i);
                target.distance = distance.at(i);
                const util::GroundPoint p = util::groundPosition(target, config);
                out(i, 0) = p.x;
                out(i, 1) = p.y;
            }
            return points;
        },
        py::arg("targets"), py::arg("config"),
        R"(Ground points of reported targets: an (n, 2) array of x, y in metres.

The radar's ground frame: origin on the ground under the radar, x in the
direction of pan 0, y to its left. config is the mounting the targets were
tracked with; targets a structured array as Engine.track returns (only
elevation, azimuth and distance are used).)");

    m.def(
        "site_position",
        [](const py::array_t<double, py::array::c_style | py::array::forcecast>& points, double x,
           double y, double heading) {
            if (points.ndim() != 2 || points.shape(1) != 2)
                throw py::value_error("points must be an (n, 2) array of x, y in metres");
            const util::RadarPlacement placement{x, y, heading};
            const auto in = points.unchecked<2>();
            py::array_t<double> result = pointArray(points.shape(0));
            auto out = result.mutable_unchecked<2>();
            for (py::ssize_t i = 0; i < in.shape(0); ++i) {
                const util::GroundPoint p = util::sitePosition({in(i, 0), in(i, 1)}, placement);
                out(i, 0) = p.x;
                out(i, 1) = p.y;
            }
            return result;
        },
        py::arg("points"), py::arg("x") = 0.0, py::arg("y") = 0.0, py::arg("heading") = 0.0,
        R"(Points of a radar's ground frame on a site with several radars.

points: (n, 2) x, y in metres, as ground_position gives them; x, y: where the
radar stands, metres east and north of the site's origin; heading: where pan
0 looks, degrees clockwise from north. Returns (n, 2) east, north in metres.)");
}

} // namespace trklib::python
