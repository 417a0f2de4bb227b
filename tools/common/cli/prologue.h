#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// How every program's main() starts: its arguments as a list, read by the
// program's own parser, then the answers that end it before it runs:
// --help, --version and a bad command line.
namespace trklib::cli {

// The exit code of a bad command line.
constexpr int exitUsage = 2;

// The arguments after the program's name, decoded as the locale says.
QStringList commandLine(int argc, char* argv[]);

// What a command line asks of the program.
enum class Ask
{
    Run,
    Help,
    Version,
    Error
};

// The result of a parser that has the same four (Run, Help, Version,
// Error), as an Ask.
template <typename Result> Ask askOf(Result result)
{
    switch (result) {
    case Result::Run:
        return Ask::Run;
    case Result::Help:
        return Ask::Help;
    case Result::Version:
        return Ask::Version;
    case Result::Error:
        break;
    }
    return Ask::Error;
}

// What a program answers with.
struct ProgramTexts
{
    const char* name;   // the first word of the version line and of an error
    QString (*help)();  // --help's text
    QString (*usage)(); // what follows an error's line
    // The lines in the locale's encoding rather than in UTF-8.
    bool localeEncoding = false;
};

// Answers what the command line asked, unless it is to run: the help or
// "NAME VERSION" on standard output and 0; "NAME: error", then the usage,
// on standard error and exitUsage. Nothing for Run.
std::optional<int> answer(Ask ask, const ProgramTexts& program, const QString& error = QString());

} // namespace trklib::cli
