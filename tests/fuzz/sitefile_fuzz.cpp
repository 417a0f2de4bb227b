// Fuzz target: the text of a site file through parseSiteConfig, as every
// program of the site reads it (loadSiteConfig hands it the file's bytes).
// Files the text names are looked for in a folder of this process's own
// that holds a password file, so that the password's path is reachable
// too; every other name is a file that is not there.
//
// Checked: a refused file gets a one-line error; an accepted one has a
// name, radars of unique names with codes in range, and one-line warnings.

#include "fuzzinput.h"

#include "tools/common/site/siteconfig.h"

#include <QFile>
#include <QSet>
#include <QTemporaryDir>

namespace trklib::fuzz {
namespace {

// The folder the site file's names are taken relative to, made once.
const QString& baseDir()
{
    static QTemporaryDir dir(QStringLiteral("/tmp/trklib-fuzz-sitefile-XXXXXX"));
    static const QString path = [] {
        check(dir.isValid(), "a temporary folder for the site file's files");
        QFile password(dir.filePath(QStringLiteral("password")));
        check(password.open(QIODevice::WriteOnly) && password.write("secret\n") == 7,
              "the password file is written");
        password.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        return dir.path();
    }();
    return path;
}

bool oneLine(const QString& text)
{
    return !text.contains(QLatin1Char('\n'));
}

} // namespace
} // namespace trklib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace trklib::fuzz;
    using namespace trklib::site;

    const QByteArray text(reinterpret_cast<const char*>(data), int(size));
    SiteConfig config;
    QString error;
    if (!parseSiteConfig(text, baseDir(), config, error)) {
        check(!error.isEmpty(), "a refused site file says why");
        check(oneLine(error), "a refused site file's error is one line");
        return 0;
    }
    check(error.isEmpty(), "an accepted site file has no error");
    check(!config.name.isEmpty(), "an accepted site file names the site");
    QSet<QString> names;
    for (const RadarEntry& radar : config.radars) {
        check(!radar.name.isEmpty() && !names.contains(radar.name), "radar names are unique");
        names.insert(radar.name);
        check(radar.sic >= -1 && radar.sic <= 255, "a radar's SIC is a code or none");
    }
    check(config.asterix.sac >= -1 && config.asterix.sac <= 255, "the SAC is a code or none");
    for (const QString& warning : config.warnings)
        check(oneLine(warning), "a warning is one line");
    return 0;
}
