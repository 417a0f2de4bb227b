// trklib.Config (the radar's mounting) and the tools' table of mounting
// options, so that Python command lines take the options as radarsim and
// trackreplay do.

#include "bindings.h"

#include "tools/common/cli/mountingoptions.h"

#include <cmath>
#include <string>

namespace trklib::python {

namespace {

double finite(double value, const char* name)
{
    if (!std::isfinite(value))
        throw py::value_error(std::string(name) + " must be a finite number, not " +
                              py::repr(py::float_(value)).cast<std::string>());
    return value;
}

std::int32_t orientation(long value)
{
    if (value != 0 && value != 1)
        throw py::value_error("orientation must be 0 (horizontal) or 1 (vertical), not " +
                              std::to_string(value));
    return std::int32_t(value);
}

// A double member of RadarConfig as a checked Python attribute.
template <double RadarConfig::*field>
void numberProperty(py::class_<RadarConfig>& type, const char* name, const char* doc)
{
    type.def_property(
        name, [](const RadarConfig& c) { return c.*field; },
        [name](RadarConfig& c, double value) { c.*field = finite(value, name); }, doc);
}

} // namespace

RadarConfig checkedConfig(const RadarConfig& c)
{
    return {finite(c.tilt, "tilt"), finite(c.pan, "pan"), finite(c.height, "height"),
            finite(c.panOffset, "pan_offset"), orientation(c.orientation)};
}

void bindConfig(py::module_& m)
{
    py::class_<RadarConfig> config(m, "Config", R"(The radar's mounting.

tilt, pan and pan_offset in degrees, height in metres above the ground,
orientation 0 (horizontal) or 1 (vertical mounting). Values that are not
finite, or another orientation, raise ValueError.)");
    config.def(py::init([](double tilt, double pan, double height, double panOffset, long orient) {
                   return checkedConfig({tilt, pan, height, panOffset, orientation(orient)});
               }),
               py::arg("tilt") = 0.0, py::arg("pan") = 0.0, py::arg("height") = 0.0,
               py::arg("pan_offset") = 0.0, py::arg("orientation") = 0);
    numberProperty<&RadarConfig::tilt>(config, "tilt", "degrees");
    numberProperty<&RadarConfig::pan>(config, "pan", "degrees");
    numberProperty<&RadarConfig::height>(config, "height", "metres above the ground");
    numberProperty<&RadarConfig::panOffset>(config, "pan_offset",
                                            "degrees, added to every detection's azimuth");
    config.def_property(
        "orientation", [](const RadarConfig& c) { return c.orientation; },
        [](RadarConfig& c, long value) { c.orientation = orientation(value); },
        "0 horizontal, 1 vertical mounting");
    config.def("__eq__", [](const RadarConfig& a, const RadarConfig& b) {
        return a.tilt == b.tilt && a.pan == b.pan && a.height == b.height &&
               a.panOffset == b.panOffset && a.orientation == b.orientation;
    });
    config.def("__repr__", [](const RadarConfig& c) {
        return py::str("Config(tilt={!r}, pan={!r}, height={!r}, pan_offset={!r}, "
                       "orientation={!r})")
            .format(c.tilt, c.pan, c.height, c.panOffset, c.orientation);
    });

    // The table of tools/common/mounting.tsv, as radarsim and trackreplay
    // have it built in: (name, default, least, greatest, value name, meaning).
    m.def("_mounting_options", [] {
        py::list options;
        for (const cli::MountingOption& o : cli::mountingOptions())
            options.append(py::make_tuple(o.name.toStdString(), o.defaultValue, o.least, o.greatest,
                                          o.valueName.toStdString(), o.meaning.toStdString()));
        return options;
    });
    m.def("_default_mounting", [] { return cli::defaultMounting(); });
    // Sets one option from its command-line text, as the tools do; the
    // tools' one-line message as a ValueError for a value they refuse.
    m.def("_set_mounting_option",
          [](RadarConfig config, const std::string& name, const std::string& value) {
              QString error;
              if (!cli::setMountingOption(config, QString::fromStdString(name),
                                            QString::fromStdString(value), error))
                  throw py::value_error(error.toStdString());
              return config;
          });
}

} // namespace trklib::python
