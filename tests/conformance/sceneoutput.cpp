#include "sceneoutput.h"

#include "engine/targettracking.h"
#include "input/datagramassembler.h"
#include "input/packetencoder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace trklib::test {

namespace {

// 17 significant digits: reads back as the same double.
QByteArray number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return QByteArray(text);
}

// One letter per field: i integer, d floating-point number.
QByteArray fieldKinds(const QByteArray& kind)
{
    return kind == "P" ? "iiii" : kind == "T" ? "iddddi" : kind == "V" ? "idddd" : "";
}

bool parseDouble(const QByteArray& field, double& value)
{
    const char* begin = field.constData();
    char* end = nullptr;
    value = std::strtod(begin, &end);
    return end != begin && *end == '\0';
}

bool fieldsMatch(const QByteArray& expected, const QByteArray& actual, char kind)
{
    if (kind == 'i') {
        bool expectedOk = false;
        bool actualOk = false;
        const bool equal = expected.toLongLong(&expectedOk) == actual.toLongLong(&actualOk);
        return equal && expectedOk && actualOk;
    }
    double e = 0.0;
    double a = 0.0;
    if (!parseDouble(expected, e) || !parseDouble(actual, a))
        return false;
    // The same double to the last bit: a changed order of operations shows
    // up as a difference of one unit in the last place, which no tolerance
    // may hide. Zero has a sign; NaN (whose payload the text does not carry)
    // matches NaN of the same sign.
    if (std::isnan(e) || std::isnan(a))
        return std::isnan(e) && std::isnan(a) && std::signbit(e) == std::signbit(a);
    return std::memcmp(&e, &a, sizeof e) == 0;
}

void noteMismatch(SceneComparison& comparison, const QString& where, const QByteArray& expected,
                  const QByteArray& actual)
{
    if (comparison.mismatches++ == 0)
        comparison.firstMismatch =
            QStringLiteral("%1: expected \"%2\", got \"%3\"")
                .arg(where, QString::fromLatin1(expected), QString::fromLatin1(actual));
}

} // namespace

bool linesMatch(const QByteArray& expected, const QByteArray& actual)
{
    const QList<QByteArray> e = expected.simplified().split(' ');
    const QList<QByteArray> a = actual.simplified().split(' ');
    const QByteArray kinds = fieldKinds(e.first());
    if (kinds.isEmpty() || e.first() != a.first() || e.size() != kinds.size() + 1 ||
        a.size() != e.size())
        return false;
    for (int i = 0; i < kinds.size(); ++i) {
        if (!fieldsMatch(e[i + 1], a[i + 1], kinds[i]))
            return false;
    }
    return true;
}

SceneComparison compareScene(const QByteArray& expectedText, const QList<QByteArray>& actual)
{
    SceneComparison comparison;
    const QList<QByteArray> expected = expectedText.split('\n');
    int produced = 0;
    for (int i = 0; i < expected.size(); ++i) {
        const QByteArray line = expected[i].trimmed();
        if (line.isEmpty())
            continue;
        const QByteArray got = produced < actual.size() ? actual[produced] : QByteArray();
        ++produced;
        ++comparison.expected[line.at(0)];
        if (linesMatch(line, got))
            ++comparison.matched[line.at(0)];
        else
            noteMismatch(comparison, QStringLiteral("line %1").arg(i + 1), line, got);
    }
    for (; produced < actual.size(); ++produced)
        noteMismatch(comparison, QStringLiteral("extra line"), {}, actual[produced]);
    return comparison;
}

bool parseSceneConfig(const QByteArray& text, RadarConfig& c)
{
    char trailing = 0;
    return std::sscanf(text.constData(), "%lf,%lf,%lf,%lf,%d %c", &c.tilt, &c.pan, &c.height,
                       &c.panOffset, &c.orientation, &trailing) == 5;
}

QList<QByteArray> replayScene(const QByteArray& packets, const RadarConfig& config)
{
    DatagramAssembler assembler;
    TargetTracking engine;
    engine.radarConfig() = config;

    QList<QByteArray> lines;
    for (int p = 0; p < packets.size() / wire::packetBytes; ++p) {
        const std::optional<RadarPacketData> assembled = assembler.assemble(
            PacketEncoder::datagramsOfWire(packets.mid(p * wire::packetBytes, wire::packetBytes)));
        if (!assembled)
            continue;
        const RadarPacketData& packet = *assembled;

        QVector<ValidationData> records;
        engine.getValidationFromData(packet, records);
        long timestamp = 0;
        QVector<TargetData> targets;
        engine.getTargetsFromData(packet, timestamp, targets);

        lines.append("P " + QByteArray::number(p) + ' ' + QByteArray::number(qint64(timestamp)) +
                     ' ' + QByteArray::number(targets.size()) + ' ' +
                     QByteArray::number(records.size()));
        for (const TargetData& t : targets)
            lines.append("T " + QByteArray::number(t.number) + ' ' + number(t.elevation) + ' ' +
                         number(t.azimuth) + ' ' + number(t.distance) + ' ' + number(t.velocity) +
                         ' ' + (t.confirmed ? '1' : '0'));
        for (const ValidationData& r : records)
            lines.append("V " + QByteArray::number(r.index) + ' ' + number(r.elevation) + ' ' +
                         number(r.azimuth) + ' ' + number(r.distance) + ' ' + number(r.velocity));
    }
    return lines;
}

} // namespace trklib::test
