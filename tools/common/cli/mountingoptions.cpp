#include "tools/common/cli/mountingoptions.h"

#include <QStringList>

#include <cmath>

namespace trklib::cli {

extern const char mountingTable[];

namespace {

// The table's columns, tab-separated; lines starting with # are comments.
// A line with another count of columns is left out, never read past its
// end: the option goes missing, which the tests of the table's options
// catch at once.
enum Column
{
    Name,
    Default,
    Least,
    Greatest,
    ValueName,
    Meaning,
    ColumnCount
};

QVector<MountingOption> parseTable()
{
    QVector<MountingOption> options;
    for (const QString& line : QString::fromUtf8(mountingTable).split(QLatin1Char('\n'))) {
        if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList f = line.split(QLatin1Char('\t'));
        if (f.size() != ColumnCount)
            continue;
        options.append({f[Name], f[Default].toDouble(), f[Least].toDouble(), f[Greatest].toDouble(),
                        f[ValueName], f[Meaning]});
    }
    return options;
}

// The field of RadarConfig that an option sets; the orientation is the
// only integer.
double* doubleField(RadarConfig& config, const QString& name)
{
    if (name == QLatin1String("tilt"))
        return &config.tilt;
    if (name == QLatin1String("pan"))
        return &config.pan;
    if (name == QLatin1String("height"))
        return &config.height;
    if (name == QLatin1String("pan-offset"))
        return &config.panOffset;
    return nullptr;
}

const MountingOption* find(const QString& name)
{
    for (const MountingOption& option : mountingOptions()) {
        if (option.name == name)
            return &option;
    }
    return nullptr;
}

// "-90 to 90", "0 to 100".
QString limits(const MountingOption& option)
{
    return QStringLiteral("%1 to %2").arg(option.least).arg(option.greatest);
}

} // namespace

const QVector<MountingOption>& mountingOptions()
{
    static const QVector<MountingOption> options = parseTable();
    return options;
}

RadarConfig defaultMounting()
{
    RadarConfig config{};
    for (const MountingOption& option : mountingOptions()) {
        QString ignored;
        setMountingOption(config, option.name, QString::number(option.defaultValue), ignored);
    }
    return config;
}

bool isMountingOption(const QString& name)
{
    return find(name) != nullptr;
}

bool setMountingOption(RadarConfig& config, const QString& name, const QString& value,
                       QString& error)
{
    const MountingOption* option = find(name);
    if (!option) {
        error = QStringLiteral("unknown option --%1").arg(name);
        return false;
    }
    if (name == QLatin1String("orientation")) {
        if (value != QLatin1String("0") && value != QLatin1String("1")) {
            error = QStringLiteral("--orientation needs 0 (horizontal) or 1 (vertical), not '%1'")
                        .arg(value);
            return false;
        }
        config.orientation = value.toInt();
        return true;
    }
    bool ok = false;
    const double number = value.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(number) || number < option->least || number > option->greatest) {
        error = QStringLiteral("--%1 needs a number from %2, not '%3'")
                    .arg(name, limits(*option), value);
        return false;
    }
    *doubleField(config, name) = number;
    return true;
}

QString mountingHelp(int width)
{
    QString text;
    for (const MountingOption& option : mountingOptions()) {
        const QString synopsis = QStringLiteral("  --%1 %2").arg(option.name, option.valueName);
        text += synopsis.leftJustified(width - 1) + QLatin1Char(' ') + option.meaning;
        if (option.name != QLatin1String("orientation"))
            text += QStringLiteral(", %1").arg(limits(option));
        text += QStringLiteral(" (default %1)\n").arg(option.defaultValue);
    }
    return text;
}

} // namespace trklib::cli
