#include "mountingerrors.h"

#include "tools/common/service/jsonwriter.h"

#include <QFile>

#include <cmath>

namespace trklib::sim {

namespace {

const QString radarPrefix = QStringLiteral("radar.");

// One key of a radar's section: its field, bound and unit.
struct Key
{
    const char* name;
    double MountingError::*field;
    double bound; // either way
    const char* unit;
};

const Key keys[] = {
    {"heading", &MountingError::headingDeg, maxHeadingErrorDeg, "degrees"},
    {"pan", &MountingError::panDeg, maxHeadingErrorDeg, "degrees"},
    {"tilt", &MountingError::tiltDeg, maxTiltErrorDeg, "degrees"},
    {"x", &MountingError::xM, maxPlaceErrorM, "metres"},
    {"y", &MountingError::yM, maxPlaceErrorM, "metres"},
    {"range", &MountingError::rangeM, maxRangeErrorM, "metres"},
};

const Key* findKey(const QString& name)
{
    for (const Key& key : keys) {
        if (name == QLatin1String(key.name))
            return &key;
    }
    return nullptr;
}

QString knownKeys()
{
    QStringList names;
    for (const Key& key : keys)
        names << QLatin1String(key.name);
    return names.join(QStringLiteral(", "));
}

// Why a value is no good for key, or an empty string.
QString readValue(const Key& key, const QString& text, MountingError& error)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || std::abs(value) > key.bound)
        return QStringLiteral("'%1' is not a number of %2 from %3 to %4")
            .arg(text, QLatin1String(key.unit), QString::number(-key.bound),
                 QString::number(key.bound));
    error.*key.field = value;
    return {};
}

// The line without its comment, trimmed: values are numbers, in which
// neither '#' nor ';' can stand.
QString withoutComment(const QString& line)
{
    int end = line.size();
    for (const QChar mark : {QLatin1Char('#'), QLatin1Char(';')}) {
        const int at = line.indexOf(mark);
        if (at >= 0)
            end = qMin(end, at);
    }
    return line.left(end).trimmed();
}

// A section's header line, already trimmed: the radar it names, or an
// empty string with why set.
QString radarOfHeader(const QString& line, const QStringList& radars, QString& why)
{
    if (!line.endsWith(QLatin1Char(']'))) {
        why = QStringLiteral("%1: a section header ends with ]").arg(line);
        return {};
    }
    const QString section = line.mid(1, line.size() - 2).trimmed();
    if (!section.startsWith(radarPrefix)) {
        why = QStringLiteral("[%1]: only [radar.NAME] sections, one per radar").arg(section);
        return {};
    }
    const QString radar = section.mid(radarPrefix.size());
    if (!radars.contains(radar)) {
        why = QStringLiteral("[%1]: the site has no radar '%2' (its radars: %3)")
                  .arg(section, radar, radars.join(QStringLiteral(", ")));
        return {};
    }
    return radar;
}

} // namespace

bool MountingError::operator==(const MountingError& other) const
{
    return headingDeg == other.headingDeg && panDeg == other.panDeg && tiltDeg == other.tiltDeg &&
           xM == other.xM && yM == other.yM && rangeM == other.rangeM;
}

bool parseMountingErrors(const QByteArray& text, const QStringList& radars, MountingErrors& errors,
                         QString& error)
{
    errors.clear();
    QMap<QString, int> sectionLines; // of each radar's section
    QMap<QString, int> keyLines;     // of the current section's keys
    QString radar;                   // of the current section
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const int number = i + 1;
        const QString line = withoutComment(QString::fromUtf8(lines[i]));
        QString why;
        if (line.isEmpty())
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            radar = radarOfHeader(line, radars, why);
            if (!radar.isEmpty() && sectionLines.contains(radar))
                why = QStringLiteral("[radar.%1]: a second section of this name (the first is "
                                     "at line %2)")
                          .arg(radar)
                          .arg(sectionLines.value(radar));
            if (!why.isEmpty()) {
                error = QStringLiteral("%1: %2").arg(number).arg(why);
                return false;
            }
            sectionLines.insert(radar, number);
            keyLines.clear();
            errors.insert(radar, {});
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        const QString name = line.left(equals).trimmed();
        const Key* key = findKey(name);
        if (equals < 0)
            why = QStringLiteral("'%1' is not a [section], a key = value line or a comment")
                      .arg(line);
        else if (radar.isEmpty())
            why = QStringLiteral("%1: a key before the first [radar.NAME]").arg(name);
        else if (!key)
            why = QStringLiteral("[radar.%1] %2: unknown key (known: %3)")
                      .arg(radar, name, knownKeys());
        else if (keyLines.contains(name))
            why = QStringLiteral("[radar.%1] %2: set twice (first at line %3)")
                      .arg(radar, name)
                      .arg(keyLines.value(name));
        else if (const QString bad = readValue(*key, line.mid(equals + 1).trimmed(), errors[radar]);
                 !bad.isEmpty())
            why = QStringLiteral("[radar.%1] %2: %3").arg(radar, name, bad);
        if (!why.isEmpty()) {
            error = QStringLiteral("%1: %2").arg(number).arg(why);
            return false;
        }
        keyLines.insert(name, number);
    }
    return true;
}

bool loadMountingErrors(const QString& path, const QStringList& radars, MountingErrors& errors,
                        QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    if (!parseMountingErrors(file.readAll(), radars, errors, error)) {
        error = QStringLiteral("%1:%2").arg(path, error);
        return false;
    }
    return true;
}

QByteArray mountingErrorsText(const QString& site, const QStringList& radars,
                              const MountingErrors& errors)
{
    QByteArray text = "# How the radars of site " + site.toUtf8() +
                      " were truly mounted in this run of radarsim,\n"
                      "# against the site file: heading, pan and tilt (degrees) and x and y\n"
                      "# (metres) to add to the file's values; range (metres): how much too\n"
                      "# long every distance the radar reported was.\n";
    for (const QString& radar : radars) {
        const MountingError e = errors.value(radar);
        text += "\n[" + radarPrefix.toUtf8() + radar.toUtf8() + "]\n";
        for (const Key& key : keys) {
            text += key.name;
            text += " = ";
            service::appendNumber(text, e.*key.field);
            text += '\n';
        }
    }
    return text;
}

util::RadarPlacement truePlacement(const util::RadarPlacement& filed, const MountingError& error)
{
    return {filed.x + error.xM, filed.y + error.yM, filed.headingDeg + error.headingDeg};
}

RadarConfig trueMounting(const RadarConfig& filed, const MountingError& error)
{
    RadarConfig mounting = filed;
    mounting.pan += error.panDeg;
    mounting.tilt += error.tiltDeg;
    return mounting;
}

} // namespace trklib::sim
