// Fuzz target: the text of a camera's points file through readSurveyPoints,
// as `sited --align-camera NAME --points FILE` reads it, and what it read
// through alignCamera and the keys printed. readSurveyPoints takes a path:
// each input is written to the same file of a temporary folder.
//
// Checked: a refused file gets a one-line error; every point read is
// finite; an alignment found has finite offsets and residual, and its keys
// are the three lines of a comment, the section and its two keys.

#include "fuzzinput.h"

#include "tools/sited/camerasurvey.h"

#include <QFile>
#include <QTemporaryDir>

#include <cmath>

namespace trklib::fuzz {
namespace {

struct Files
{
    QTemporaryDir dir{QStringLiteral("/tmp/trklib-fuzz-surveypoints-XXXXXX")};
    QString input = dir.filePath(QStringLiteral("points"));
};

Files& files()
{
    static Files f;
    check(f.dir.isValid(), "a temporary folder for the points files");
    return f;
}

bool oneLine(const QString& text)
{
    return !text.isEmpty() && !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r'));
}

} // namespace
} // namespace trklib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace trklib::fuzz;
    using namespace trklib::sited;

    const Files& f = files();
    QFile out(f.input);
    check(out.open(QIODevice::WriteOnly | QIODevice::Truncate), "the points file can be written");
    check(out.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size),
          "the points file takes the input");
    out.close();

    QVector<cue::SurveyPoint> points;
    QString error;
    if (!readSurveyPoints(f.input, points, error)) {
        check(oneLine(error), "a refused points file's error is one line");
        return 0;
    }
    for (const cue::SurveyPoint& p : qAsConst(points))
        check(std::isfinite(p.xM) && std::isfinite(p.yM) && std::isfinite(p.zM) &&
                  std::isfinite(p.panDeg) && std::isfinite(p.tiltDeg),
              "every point read is finite");

    trklib::site::CameraEntry camera;
    camera.name = QStringLiteral("gate");
    camera.heightM = 8.0;
    cue::CameraAlignment found;
    if (!cue::alignCamera(camera, points, found, error)) {
        check(oneLine(error), "a refused alignment's error is one line");
        return 0;
    }
    check(std::isfinite(found.panOffsetDeg) && std::isfinite(found.tiltOffsetDeg) &&
              std::isfinite(found.rmsDeg),
          "an alignment's offsets and residual are finite");
    check(found.points == points.size(), "an alignment counts every point");
    check(cameraAlignmentKeys(camera, found).count(QLatin1Char('\n')) == 4,
          "the keys are a comment, the section and two keys");
    return 0;
}
