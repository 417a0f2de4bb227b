#include "tools/common/service/jsonwriter.h"

#include "tools/common/site/georeference.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace trklib::service {

namespace {

// Room for the longest shortest-form double, "-2.2250738585072014e-308".
constexpr int numberChars = 32;

void appendShortest(QByteArray& out, double value)
{
    char text[numberChars];
    // Without a format, to_chars gives the shortest form that round-trips.
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
    out.append(text, int(end.ptr - text));
}

} // namespace

void appendNumber(QByteArray& out, double value)
{
    if (!std::isfinite(value)) {
        out.append("null");
        return;
    }
    appendShortest(out, value);
}

void appendString(QByteArray& out, const QString& text)
{
    out.append('"');
    for (const char c : text.toUtf8()) {
        if (c == '"' || c == '\\') {
            out.append('\\').append(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
            out.append(escaped);
        } else {
            out.append(c);
        }
    }
    out.append('"');
}

void appendPlace(QByteArray& out, const site::GeoReference* geo, double xM, double yM)
{
    out.append("\"x\":");
    appendNumber(out, xM);
    out.append(",\"y\":");
    appendNumber(out, yM);
    if (!geo)
        return;
    const site::GeoPoint p = geo->toGeodetic(xM, yM);
    out.append(",\"lat\":");
    appendNumber(out, p.latitudeDeg);
    out.append(",\"lon\":");
    appendNumber(out, p.longitudeDeg);
}

} // namespace trklib::service
