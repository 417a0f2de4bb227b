#include "tools/sited/camerasurvey.h"

#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace trklib::sited {

namespace {

constexpr int degreeDecimals = 3; // degrees: a thousandth, below any camera's step
// Of a refused line, the error quotes at most this many characters.
constexpr int maxQuotedChars = 80;

// v in [-360, 360], the site file's range of a heading, as close to the
// given one as a turn allows.
double withinOneTurn(double headingDeg)
{
    const double turned = std::fmod(headingDeg, 360.0);
    return turned + 0.0; // no -0
}

QString figure(double value)
{
    const double scale = std::pow(10.0, degreeDecimals);
    return QString::number(std::round(value * scale) / scale + 0.0, 'f', degreeDecimals);
}

} // namespace

bool readSurveyPoints(const QString& path, QVector<cue::SurveyPoint>& points, QString& error)
{
    points.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    static const QRegularExpression space(QStringLiteral("[\\s,]+"));
    int line = 0;
    while (!file.atEnd()) {
        ++line;
        QString text = QString::fromUtf8(file.readLine());
        if (text.endsWith(QLatin1Char('\n')))
            text.chop(1);
        // A control character (a lone carriage return, say) would break the
        // one line that says what is wrong: refused, by its place.
        const auto control = std::find_if(text.begin(), text.end(), [](QChar c) {
            return c != QLatin1Char('\t') &&
                   (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f));
        });
        if (control != text.end()) {
            error = QStringLiteral("%1:%2: a control character (U+%3) in column %4")
                        .arg(path)
                        .arg(line)
                        .arg(control->unicode(), 4, 16, QLatin1Char('0'))
                        .arg(control - text.begin() + 1);
            return false;
        }
        text = text.left(text.indexOf(QLatin1Char('#'))).trimmed();
        if (text.isEmpty())
            continue;
        const QStringList fields = text.split(space, Qt::SkipEmptyParts);
        double v[5] = {};
        bool ok = fields.size() == 5;
        for (int i = 0; ok && i < 5; ++i) {
            v[i] = fields[i].toDouble(&ok);
            ok = ok && std::isfinite(v[i]);
        }
        if (!ok) {
            error = QStringLiteral("%1:%2: '%3' is not five numbers: x y z (metres) pan tilt "
                                   "(degrees)")
                        .arg(path)
                        .arg(line)
                        .arg(text.left(maxQuotedChars));
            return false;
        }
        points.append({v[0], v[1], v[2], v[3], v[4]});
    }
    return true;
}

QString cameraAlignmentKeys(const site::CameraEntry& camera, const cue::CameraAlignment& found)
{
    return QStringLiteral("# camera %1: %2 points; pan offset %3 deg, tilt offset %4 deg, "
                          "residual %5 deg\n[camera.%1]\nheading = %6\ntilt_offset = %7\n")
        .arg(camera.name)
        .arg(found.points)
        .arg(figure(found.panOffsetDeg), figure(found.tiltOffsetDeg), figure(found.rmsDeg),
             figure(withinOneTurn(camera.headingDeg + found.panOffsetDeg)),
             figure(camera.tiltOffsetDeg + found.tiltOffsetDeg));
}

} // namespace trklib::sited
