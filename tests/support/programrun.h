#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace trklib::test {

// A program run as a child process, to its end.
struct ProgramRun
{
    int exitCode = -1; // -1: it crashed or did not end in time
    QByteArray out;
    QByteArray err;
};

// Runs program with arguments in the given environment and folder (the
// test's own when empty) and waits at most a minute for it.
inline ProgramRun
runProgram(const QString& program, const QStringList& arguments,
           const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
           const QString& workingDirectory = QString())
{
    constexpr int timeoutMs = 60000;
    QProcess process;
    process.setProcessEnvironment(environment);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    ProgramRun run;
    if (process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit) {
        run.exitCode = process.exitCode();
    } else {
        process.kill();
        process.waitForFinished(timeoutMs);
    }
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// A file's bytes; empty when it cannot be read.
inline QByteArray fileContents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes bytes into a new or emptied file; false when that fails.
inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

} // namespace trklib::test
