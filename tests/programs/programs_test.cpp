// Every installed program run as a child process, one row each: --version
// states the project's version, --help answers on standard output and lists
// --version (their manual pages are made from the two), and a command line
// the program does not take is refused with one line and the usage on
// standard error, exit status 2. trackdemo answers instead of starting its
// dialogue, which takes no arguments.

#include "support/programrun.h"

#include <gtest/gtest.h>

namespace trklib::test {
namespace {

struct Program
{
    const char* name;
    const char* path;
};

// plot-tracks twice: the copy that is installed, with the version filled
// in, and the source tree's, which reads it from CMakeLists.txt.
const Program programs[] = {
    {"trackdemo", TRACKDEMO_PATH},
#ifdef RADARSIM_PATH // the tools, built together or not at all
    {"radarsim", RADARSIM_PATH},
    {"trackreplay", TRACKREPLAY_PATH},
    {"trackd", TRACKD_PATH},
#endif
#ifdef SITED_PATH
    {"sited", SITED_PATH},
#endif
    {"plot-tracks", PLOT_TRACKS_PATH},
    {"plot-tracks", PLOT_TRACKS_SOURCE_PATH},
};

ProgramRun run(const Program& program, const QStringList& arguments)
{
    return runProgram(QString::fromLocal8Bit(program.path), arguments);
}

TEST(Programs, VersionIsTheProjectVersion)
{
    for (const Program& program : programs) {
        SCOPED_TRACE(program.path);
        const ProgramRun version = run(program, {"--version"});
        EXPECT_EQ(version.exitCode, 0);
        EXPECT_EQ(version.out.toStdString(), std::string(program.name) + " " PROJECT_VERSION "\n");
        EXPECT_EQ(version.err.toStdString(), "");
    }
}

TEST(Programs, HelpOnStandardOutputListsVersion)
{
    for (const Program& program : programs) {
        SCOPED_TRACE(program.path);
        const ProgramRun help = run(program, {"--help"});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_TRUE(help.out.toLower().startsWith("usage: " + QByteArray(program.name)))
            << help.out.toStdString();
        EXPECT_TRUE(help.out.contains("\n  --version ")) << help.out.toStdString();
        EXPECT_EQ(help.err.toStdString(), "");
    }
}

// One line that names the program, then the usage, on standard error only.
void expectRefused(const Program& program, const QStringList& arguments)
{
    SCOPED_TRACE(program.path + (" " + arguments.join(' ')).toStdString());
    const ProgramRun bad = run(program, arguments);
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_EQ(bad.out.toStdString(), "");
    const QList<QByteArray> lines = bad.err.split('\n');
    EXPECT_TRUE(lines.first().startsWith(QByteArray(program.name) + ": ")) << bad.err.toStdString();
    EXPECT_TRUE(lines.value(1).toLower().startsWith("usage: " + QByteArray(program.name)))
        << bad.err.toStdString();
}

TEST(Programs, RefusedCommandLineGivesOneLineAndTheUsage)
{
    for (const Program& program : programs)
        expectRefused(program, {"--no-such-option"});
    // The dialogue reads its answers from standard input only.
    const Program& trackdemo = programs[0];
    for (const QStringList& arguments :
         {QStringList{"5"}, QStringList{"--help", "--version"}, QStringList{"--version", "x"}})
        expectRefused(trackdemo, arguments);
}

} // namespace
} // namespace trklib::test
