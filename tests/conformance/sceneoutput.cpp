#include "sceneoutput.h"

#include <QHash>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace trklib::test {

namespace {

constexpr double targetRelTolerance = 1e-9;
constexpr double targetAbsTolerance = 1e-9; // near zero
constexpr double validationRelTolerance = 1e-6;

enum class FieldKind
{
    Integer,
    TargetDouble,
    ValidationFloat
};

QVector<FieldKind> fieldKinds(char kind)
{
    using F = FieldKind;
    switch (kind) {
    case 'P':
        return {F::Integer, F::Integer, F::Integer, F::Integer};
    case 'T':
        return {F::Integer,      F::TargetDouble, F::TargetDouble,
                F::TargetDouble, F::TargetDouble, F::Integer};
    case 'V':
        return {F::Integer, F::ValidationFloat, F::ValidationFloat, F::ValidationFloat,
                F::ValidationFloat};
    default:
        return {};
    }
}

bool parseDouble(const QByteArray& field, double& value)
{
    const char* begin = field.constData();
    char* end = nullptr;
    value = std::strtod(begin, &end);
    return end != begin && *end == '\0';
}

bool sameNumber(double expected, double actual, double relTolerance, double absTolerance)
{
    if (std::isnan(expected) || std::isnan(actual))
        return std::isnan(expected) && std::isnan(actual);
    if (std::isinf(expected) || std::isinf(actual))
        return expected == actual;
    const double difference = std::fabs(expected - actual);
    return difference <= relTolerance * std::max(std::fabs(expected), std::fabs(actual)) ||
           difference <= absTolerance;
}

bool fieldsMatch(const QByteArray& expected, const QByteArray& actual, FieldKind kind)
{
    if (kind == FieldKind::Integer) {
        bool expectedOk = false;
        bool actualOk = false;
        const qlonglong e = expected.toLongLong(&expectedOk);
        const qlonglong a = actual.toLongLong(&actualOk);
        return expectedOk && actualOk && e == a;
    }
    double e = 0.0;
    double a = 0.0;
    if (!parseDouble(expected, e) || !parseDouble(actual, a))
        return false;
    if (kind == FieldKind::TargetDouble)
        return sameNumber(e, a, targetRelTolerance, targetAbsTolerance);
    return sameNumber(e, a, validationRelTolerance, 0.0);
}

// 17 significant digits: reads back as the same double.
QByteArray number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return QByteArray(text);
}

QString describe(const OutputLine* line)
{
    return line ? QStringLiteral("\"%1\"").arg(QString::fromLatin1(line->text))
                : QStringLiteral("no line");
}

KindCount& countFor(SceneComparison& comparison, char kind)
{
    if (kind == 'P')
        return comparison.packets;
    if (kind == 'T')
        return comparison.targets;
    return comparison.validation;
}

void compareLines(qint64 packetNumber, char kind, const QVector<const OutputLine*>& expected,
                  const QVector<const OutputLine*>& actual, SceneComparison& comparison)
{
    KindCount& count = countFor(comparison, kind);
    count.expected += expected.size();
    const int n = std::max(expected.size(), actual.size());
    for (int i = 0; i < n; ++i) {
        const OutputLine* e = i < expected.size() ? expected[i] : nullptr;
        const OutputLine* a = i < actual.size() ? actual[i] : nullptr;
        if (e && a && linesMatch(e->text, a->text)) {
            ++count.matched;
            continue;
        }
        ++comparison.mismatches;
        if (comparison.firstMismatch.isEmpty()) {
            const QString where = e ? QStringLiteral("expected line %1").arg(e->lineNumber)
                                    : QStringLiteral("extra %1 line").arg(QChar(kind));
            comparison.firstMismatch = QStringLiteral("packet %1, %2: expected %3, got %4")
                                           .arg(packetNumber)
                                           .arg(where, describe(e), describe(a));
        }
    }
}

QVector<const OutputLine*> linesOfKind(const PacketOutput* packet, char kind)
{
    QVector<const OutputLine*> lines;
    if (packet) {
        for (const OutputLine& line : packet->lines) {
            if (line.kind() == kind)
                lines.append(&line);
        }
    }
    return lines;
}

void comparePacket(qint64 number, const PacketOutput* expected, const PacketOutput* actual,
                   SceneComparison& comparison)
{
    for (char kind : {'P', 'T', 'V'})
        compareLines(number, kind, linesOfKind(expected, kind), linesOfKind(actual, kind),
                     comparison);
    // Lines of any other kind are faults in the file or in the replay.
    for (const PacketOutput* packet : {expected, actual}) {
        if (!packet)
            continue;
        for (const OutputLine& line : packet->lines) {
            if (line.kind() == 'P' || line.kind() == 'T' || line.kind() == 'V')
                continue;
            ++comparison.mismatches;
            if (comparison.firstMismatch.isEmpty())
                comparison.firstMismatch =
                    QStringLiteral("packet %1: unknown line %2").arg(number).arg(describe(&line));
        }
    }
}

} // namespace

QVector<PacketOutput> parseSceneOutput(const QByteArray& text)
{
    QVector<PacketOutput> packets;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty())
            continue;
        if (line.at(0) == 'P' || packets.isEmpty()) {
            PacketOutput packet;
            if (line.at(0) == 'P') {
                const QList<QByteArray> fields = line.simplified().split(' ');
                bool ok = false;
                const qint64 number = fields.size() > 1 ? fields[1].toLongLong(&ok) : -1;
                packet.number = ok ? number : -1;
            }
            packets.append(packet);
        }
        packets.last().lines.append(OutputLine{i + 1, line});
    }
    return packets;
}

QByteArray packetLine(qint64 number, qint64 timestamp, int targetCount, int recordCount)
{
    return "P " + QByteArray::number(number) + ' ' + QByteArray::number(timestamp) + ' ' +
           QByteArray::number(targetCount) + ' ' + QByteArray::number(recordCount);
}

QByteArray targetLine(const TargetData& target)
{
    return "T " + QByteArray::number(target.number) + ' ' + number(target.elevation) + ' ' +
           number(target.azimuth) + ' ' + number(target.distance) + ' ' + number(target.velocity) +
           ' ' + (target.confirmed ? '1' : '0');
}

QByteArray validationLine(const ValidationData& record)
{
    return "V " + QByteArray::number(record.index) + ' ' + number(record.elevation) + ' ' +
           number(record.azimuth) + ' ' + number(record.distance) + ' ' + number(record.velocity);
}

bool linesMatch(const QByteArray& expected, const QByteArray& actual)
{
    const QList<QByteArray> e = expected.simplified().split(' ');
    const QList<QByteArray> a = actual.simplified().split(' ');
    if (e.isEmpty() || a.isEmpty() || e.first() != a.first() || e.first().size() != 1)
        return false;
    const QVector<FieldKind> kinds = fieldKinds(e.first().at(0));
    if (kinds.isEmpty() || e.size() != kinds.size() + 1 || a.size() != kinds.size() + 1)
        return false;
    for (int i = 0; i < kinds.size(); ++i) {
        if (!fieldsMatch(e[i + 1], a[i + 1], kinds[i]))
            return false;
    }
    return true;
}

SceneComparison compareSceneOutput(const QVector<PacketOutput>& expected,
                                   const QVector<PacketOutput>& actual)
{
    SceneComparison comparison;
    QHash<qint64, const PacketOutput*> actualByNumber;
    for (const PacketOutput& packet : actual)
        actualByNumber.insert(packet.number, &packet);

    QHash<qint64, bool> seen;
    for (const PacketOutput& packet : expected) {
        comparePacket(packet.number, &packet, actualByNumber.value(packet.number, nullptr),
                      comparison);
        seen.insert(packet.number, true);
    }
    for (const PacketOutput& packet : actual) {
        if (!seen.contains(packet.number))
            comparePacket(packet.number, nullptr, &packet, comparison);
    }
    return comparison;
}

} // namespace trklib::test
