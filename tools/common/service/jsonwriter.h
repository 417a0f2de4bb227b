#pragma once

#include <QByteArray>
#include <QString>

#include <charconv>
#include <cstdint>
#include <type_traits>

namespace trklib::site {
class GeoReference;
}

// Pieces of the JSON messages the site's programs write by hand, so that
// numbers read back bit for bit and no message pays for a DOM.
namespace trklib::service {

// The shortest decimal form of value that reads back to the same double,
// appended; null for NaN and infinities, which JSON has no form for.
void appendNumber(QByteArray& out, double value);

// A whole number of any integer type, in decimal.
template <typename Integer> void appendInteger(QByteArray& out, Integer value)
{
    static_assert(std::is_integral_v<Integer>, "a whole number");
    char text[24]; // "-9223372036854775808" and more
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
    out.append(text, int(end.ptr - text));
}

// A JSON string: quotes and backslashes escaped, control characters as
// \u00XX; the rest as UTF-8.
void appendString(QByteArray& out, const QString& text);

// A place on the site, the one form every message gives it in:
// "x":...,"y":... (metres east and north of the site's origin), then
// ,"lat":...,"lon":... where it lies on Earth, without geo no lat and lon.
// The caller writes what comes before it ("{" or ",").
void appendPlace(QByteArray& out, const site::GeoReference* geo, double xM, double yM);

} // namespace trklib::service
