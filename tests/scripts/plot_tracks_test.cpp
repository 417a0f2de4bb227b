// scripts/plot-tracks run as a child process in a folder of its own: the
// command lines it refuses, the one line a failed run prints, the mounting
// limits it takes from the shared table, and that only a complete picture
// ever replaces a file.

#include "support/programrun.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

namespace trklib::scripts::test {
namespace {

using trklib::test::fileContents;
using trklib::test::ProgramRun;
using trklib::test::runProgram;
using trklib::test::writeFile;

bool isPng(const QString& path)
{
    return fileContents(path).startsWith(QByteArray("\x89PNG\r\n\x1a\n", 8));
}

const QByteArray trackHeader =
    "packet,timestamp,number,elevation,azimuth,distance,velocity,confirmed\n";
const QByteArray truthHeader = "packet,timestamp,id,kind,x,y,z,vx,vy,speed_kph,radial_kph,distance,"
                               "elevation,azimuth,cell\n";

class PlotTracks : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        // Two tracks approaching at 100 and 80 m, 5 m mounting height.
        ASSERT_TRUE(writeFile(path("tracks.csv"), trackHeader + "4,200,1,-2.86,1.0,100.1,-72,1\n"
                                                                "5,250,1,-2.87,1.0,99.1,-72,1\n"
                                                                "4,200,2,-3.58,-3.6,80.2,50,1\n"
                                                                "5,250,2,-3.57,-3.6,80.9,50,0\n"));
        ASSERT_TRUE(writeFile(path("truth.csv"),
                              truthHeader +
                                  "4,200,1,car,100.0,1.75,0.8,-20,0,72,-72,100.1,-2.4,1.0,-288\n"
                                  "5,250,1,car,99.0,1.75,0.8,-20,0,72,-72,99.1,-2.4,1.0,-288\n"));
        ASSERT_TRUE(writeFile(path("old.png"), "an earlier picture\n"));
        ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    }

    QString path(const QString& name) const { return dir.filePath(name); }

    static bool hasGnuplot()
    {
        return !QStandardPaths::findExecutable(QStringLiteral("gnuplot")).isEmpty();
    }

    // The script's environment: the table found next to the script unless
    // named, a folder of stand-in programs ahead of PATH if given, and
    // messages in English.
    static QProcessEnvironment environment(const QString& table = {}, const QString& bin = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("TRKLIB_MOUNTING_TABLE"));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        if (!table.isEmpty())
            env.insert(QStringLiteral("TRKLIB_MOUNTING_TABLE"), table);
        if (!bin.isEmpty())
            env.insert(QStringLiteral("PATH"), bin + QLatin1Char(':') + env.value("PATH"));
        return env;
    }

    ProgramRun run(const QStringList& args, const QProcessEnvironment& env = environment(),
                   const QString& program = QStringLiteral(PLOT_TRACKS_PATH)) const
    {
        return runProgram(program, args, env, dir.path());
    }

    // Every entry of the folder, hidden ones included: a file by its bytes,
    // a symbolic link by where it leads, a folder by its name.
    QMap<QString, QByteArray> snapshot() const
    {
        QMap<QString, QByteArray> entries;
        QDirIterator it(dir.path(),
                        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            const QString name = QDir(dir.path()).relativeFilePath(info.filePath());
            entries[name] = info.isSymLink() ? "-> " + info.symLinkTarget().toUtf8()
                            : info.isDir()   ? QByteArray("folder")
                                             : fileContents(info.filePath());
        }
        return entries;
    }

    // A failed run: the status, one line on standard error that says why,
    // and every file as it was.
    void expectFailure(const QStringList& args, int exitCode, const char* why,
                       const QProcessEnvironment& env = environment()) const
    {
        SCOPED_TRACE(args.join(' ').toStdString());
        const QMap<QString, QByteArray> before = snapshot();
        const ProgramRun r = run(args, env);
        EXPECT_EQ(r.exitCode, exitCode);
        EXPECT_TRUE(r.err.startsWith("plot-tracks: ")) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(why)) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
        EXPECT_EQ(snapshot(), before) << "a failed run changed the folder";
    }

    QTemporaryDir dir;
};

TEST_F(PlotTracks, AnOutputThatIsAnInputIsRefused)
{
    ASSERT_TRUE(QFile::link(QStringLiteral("tracks.csv"), path("link.csv")));
    ASSERT_EQ(::link(qPrintable(path("tracks.csv")), qPrintable(path("hard.csv"))), 0);
    const QList<QStringList> commandLines = {
        {"tracks.csv", "-o", "tracks.csv"},
        {"tracks.csv", "-o", "sub/../tracks.csv"},
        {"tracks.csv", "-o", "link.csv"},
        {"tracks.csv", "--output", "hard.csv"},
        {"link.csv", "-o", "tracks.csv"},
        {"tracks.csv", "--truth", "truth.csv", "-o", "truth.csv"},
        {"tracks.csv", "--truth=truth.csv", "--output=./truth.csv"},
    };
    for (const QStringList& args : commandLines)
        expectFailure(args, 2, "is the");
}

TEST_F(PlotTracks, AFailedRunSaysWhyOnOneLine)
{
    const QByteArray row = "4,200,1,-2.86,1.0,100.1,-72,1\n";
    ASSERT_TRUE(writeFile(path("words.csv"), trackHeader + row + "5,250,1,-2.87,1.0,far,-72,1\n"));
    ASSERT_TRUE(writeFile(path("flag.csv"), trackHeader + "5,250,1,-2.87,1.0,99.1,-72,2\n"));
    ASSERT_TRUE(writeFile(path("short.csv"), trackHeader + "5,250,1,-2.87,1.0,99.1,-72\n"));
    ASSERT_TRUE(writeFile(path("truthwords.csv"), truthHeader +
                                                      "4,200,1,car,100.0,left,0.8,-20,0,72,-72,"
                                                      "100.1,-2.4,1.0,-288\n"));
    const struct
    {
        QStringList args;
        const char* why;
    } cases[] = {
        {{"missing.csv", "-o", "old.png"}, "no such file"},
        {{"sub", "-o", "old.png"}, "folder"},
        {{"truth.csv", "-o", "old.png"}, "not a trackreplay CSV"},
        {{"words.csv", "-o", "old.png"}, "line 3: distance"},
        {{"flag.csv", "-o", "old.png"}, "confirmed is 2"},
        {{"short.csv", "-o", "old.png"}, "7 fields"},
        {{"tracks.csv", "--truth", "missing.csv", "-o", "old.png"}, "no such file"},
        {{"tracks.csv", "--truth", "sub", "-o", "old.png"}, "folder"},
        {{"tracks.csv", "--truth", "tracks.csv", "-o", "old.png"}, "not a radarsim truth CSV"},
        {{"tracks.csv", "--truth", "truthwords.csv", "-o", "old.png"}, "y is \"left\""},
        {{"tracks.csv", "-o", "sub"}, "folder"},
        {{"tracks.csv", "-o", "gone/out.png"}, "no folder"},
    };
    for (const auto& c : cases)
        expectFailure(c.args, 1, c.why);
}

TEST_F(PlotTracks, UnreadableInputsAndUnwritableFoldersAreFailedRuns)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    const QFileDevice::Permissions readOnlyFolder = QFileDevice::ReadOwner | QFileDevice::ExeOwner;
    ASSERT_TRUE(QFile::copy(path("tracks.csv"), path("secret.csv")));
    ASSERT_TRUE(QFile::setPermissions(path("secret.csv"), {}));
    ASSERT_TRUE(QFile::rename(path("old.png"), path("sub/old.png")));
    ASSERT_TRUE(QFile::setPermissions(path("sub"), readOnlyFolder));

    expectFailure({"secret.csv", "-o", "new.png"}, 1, "permission denied");
    expectFailure({"tracks.csv", "--truth", "secret.csv", "-o", "new.png"}, 1, "permission denied");
    expectFailure({"tracks.csv", "-o", "sub/old.png"}, 1, "not writable");
    expectFailure({"tracks.csv", "-o", "sub/new.png"}, 1, "not writable");

    // QTemporaryDir removes what it may.
    QFile::setPermissions(path("sub"), readOnlyFolder | QFileDevice::WriteOwner);
}

TEST_F(PlotTracks, AFailedDrawOrWriteKeepsTheOldPicture)
{
    // Stand-ins for the programs the script runs: a gnuplot that fails, one
    // that draws nothing, an mv that cannot rename the finished picture;
    // and a device that takes nothing.
    const struct
    {
        const char* program;
        QByteArray script;
        const char* output;
        const char* why;
    } cases[] = {
        {"gnuplot", "echo '         line 9: out of ink' >&2\nexit 1\n", "old.png", "out of ink"},
        {"gnuplot", "exit 0\n", "old.png", "no picture"},
        {"gnuplot", "exit 0\n", "new.png", "no picture"},
        {"mv", "echo 'mv: the disk is on fire' >&2\nexit 1\n", "old.png", "disk is on fire"},
        {"mv", "exit 1\n", "new.png", "cannot write new.png"},
        {nullptr, {}, "/dev/full", "No space left on device"},
    };
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("bin")));
    for (const auto& c : cases) {
        if (qstrcmp(c.program, "gnuplot") != 0 && !hasGnuplot())
            continue; // it needs a picture to write
        const QString standIn = path(QStringLiteral("bin/") + c.program);
        if (c.program) {
            ASSERT_TRUE(writeFile(standIn, "#!/bin/sh\n" + c.script));
            QFile::setPermissions(standIn, QFile::permissions(standIn) | QFileDevice::ExeOwner);
        }
        expectFailure({"tracks.csv", "--truth", "truth.csv", "-o", c.output}, 1, c.why,
                      environment({}, path("bin")));
        QFile::remove(standIn);
    }
}

TEST_F(PlotTracks, HelpOnStandardOutputUsageErrorsOnStandardError)
{
    const ProgramRun help = run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.startsWith("Usage: plot-tracks")) << help.out.toStdString();
    EXPECT_TRUE(help.err.isEmpty());

    for (const QStringList& args :
         QList<QStringList>{{"tracks.csv", "--frobnicate", "-o", "new.png"},
                            {"tracks.csv"},
                            {"-o", "new.png"},
                            {"tracks.csv", "-o"},
                            {"tracks.csv", "-o", ""},
                            {"tracks.csv", "--truth"},
                            {"tracks.csv", "--all=1", "-o", "new.png"},
                            {"tracks.csv", "truth.csv", "-o", "new.png"},
                            {"tracks.csv", "--height", "-o", "new.png"}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const QMap<QString, QByteArray> before = snapshot();
        const ProgramRun r = run(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.startsWith("plot-tracks: "));
        EXPECT_TRUE(r.err.mid(r.err.indexOf('\n') + 1).startsWith("Usage: plot-tracks"));
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_EQ(snapshot(), before);
    }
}

TEST_F(PlotTracks, MountingValuesWithinTheTablesLimits)
{
    if (!hasGnuplot())
        GTEST_SKIP() << "gnuplot is not installed";
    // A value is accepted when the picture is drawn; a refused one is named
    // with the limits on the first line, the usage following.
    const struct
    {
        const char* option;
        const char* value;
        const char* refusal; // null: accepted
    } cases[] = {
        {"--tilt", "-90", nullptr},
        {"--tilt", "-90.01", "--tilt needs a number from -90 to 90, not '-90.01'"},
        {"--tilt", "steep", "--tilt needs a number from -90 to 90, not 'steep'"},
        {"--pan", "180", nullptr},
        {"--pan", "180.5", "--pan needs a number from -180 to 180, not '180.5'"},
        {"--height", "100", nullptr},
        {"--height", "1e3", "--height needs a number from 0 to 100, not '1e3'"},
        {"--height", "-0.1", "--height needs a number from 0 to 100, not '-0.1'"},
        {"--pan-offset", "-180", nullptr},
        {"--pan-offset", "181", "--pan-offset needs a number from -180 to 180, not '181'"},
        {"--orientation", "1", nullptr},
        {"--orientation", "1.0", "--orientation needs 0 (horizontal) or 1 (vertical), not '1.0'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.option) + " " + c.value);
        QFile::remove(path("new.png"));
        const ProgramRun r = run({"tracks.csv", c.option, c.value, "-o", "new.png"});
        if (!c.refusal) {
            EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
            EXPECT_TRUE(isPng(path("new.png")));
        } else {
            EXPECT_EQ(r.exitCode, 2);
            EXPECT_EQ(r.err.split('\n').value(0), QByteArray("plot-tracks: ") + c.refusal);
            EXPECT_FALSE(QFile::exists(path("new.png")));
        }
    }
}

TEST_F(PlotTracks, FindsTheTableNamedInstalledOrNot)
{
    // The usage lists the defaults and the limits are those of the table
    // found: one named by TRKLIB_MOUNTING_TABLE, one installed beside the
    // script, and none.
    ASSERT_TRUE(writeFile(path("tall.tsv"), "# option\tdefault\tleast\tgreatest\tvalue\tmeaning\n"
                                            "tilt\t0\t-90\t90\tDEG\ttilt\n"
                                            "pan\t0\t-180\t180\tDEG\tpan\n"
                                            "height\t7\t1\t10\tM\theight\n"
                                            "orientation\t0\t0\t1\t0|1\torientation\n"));
    const QProcessEnvironment tall = environment(path("tall.tsv"));
    EXPECT_TRUE(run({"--help"}, tall).out.contains("--height M"));
    EXPECT_TRUE(run({"--help"}, tall).out.contains("height, 1 to 10 (default 7)"));
    EXPECT_FALSE(run({"--help"}, tall).out.contains("--pan-offset"));
    EXPECT_TRUE(run({"--help"}).out.contains("(default 5)"));
    for (const char* height : {"10.01", "0.99"}) {
        const ProgramRun r = run({"tracks.csv", "--height", height, "-o", "new.png"}, tall);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.startsWith("plot-tracks: --height needs a number from 1 to 10"));
    }

    const QString installed = path("usr/bin/plot-tracks");
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("usr/bin")));
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("usr/share/trklib")));
    ASSERT_TRUE(QFile::copy(QStringLiteral(PLOT_TRACKS_PATH), installed));
    ASSERT_TRUE(QFile::copy(path("tall.tsv"), path("usr/share/trklib/mounting.tsv")));
    const ProgramRun found = run({"--help"}, environment(), installed);
    EXPECT_EQ(found.exitCode, 0) << found.err.toStdString();
    EXPECT_TRUE(found.out.contains("(default 7)"));

    ASSERT_TRUE(writeFile(path("broken.tsv"), "tilt\t0\t-90\n"));
    const struct
    {
        QProcessEnvironment env;
        QString program;
        const char* why;
    } missing[] = {
        {environment(path("missing.tsv")), QStringLiteral(PLOT_TRACKS_PATH), "missing.tsv"},
        {environment(path("broken.tsv")), QStringLiteral(PLOT_TRACKS_PATH), "broken.tsv line 1"},
        {environment(), installed, "share/trklib/mounting.tsv"},
    };
    ASSERT_TRUE(QFile::remove(path("usr/share/trklib/mounting.tsv")));
    for (const auto& m : missing) {
        const ProgramRun r = run({"--help"}, m.env, m.program);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(m.why)) << r.err.toStdString();
    }
}

TEST_F(PlotTracks, AFinishedPictureReplacesOnlyTheFileItNames)
{
    if (!hasGnuplot())
        GTEST_SKIP() << "gnuplot is not installed";
    // An existing picture keeps its mode; a link keeps leading to the
    // picture, also when its target does not exist yet.
    const QFileDevice::Permissions ownerAndGroup =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup;
    ASSERT_TRUE(QFile::setPermissions(path("old.png"), ownerAndGroup));
    ASSERT_TRUE(QFile::link(QStringLiteral("sub/old.png"), path("shown.png")));
    ASSERT_TRUE(QFile::link(QStringLiteral("sub/later.png"), path("ahead.png")));
    ASSERT_TRUE(writeFile(path("sub/old.png"), "a picture behind a link\n"));
    const struct
    {
        const char* output;
        const char* picture;
    } cases[] = {
        {"new.png", "new.png"},
        {"old.png", "old.png"},
        {"shown.png", "sub/old.png"},
        {"ahead.png", "sub/later.png"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        QMap<QString, QByteArray> expected = snapshot();
        const ProgramRun r = run({"tracks.csv", "--truth", "truth.csv", "-o", c.output});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_TRUE(isPng(path(c.picture)));
        expected[c.picture] = fileContents(path(c.picture));
        EXPECT_EQ(snapshot(), expected) << "a file besides the picture changed";
    }
    const QFileDevice::Permissions ownerGroupOther =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
        QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
        QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    EXPECT_EQ(QFile::permissions(path("old.png")) & ownerGroupOther, ownerAndGroup);
}

} // namespace
} // namespace trklib::scripts::test
