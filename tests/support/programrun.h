#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVector>

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
    // Nothing to read: a program that asks would see the end at once.
    process.setStandardInputFile(QProcess::nullDevice());
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

// Runs program once per list of arguments, in order, in workingDirectory.
// Empty when every run exited 0; otherwise the first failing command line
// and what it said on standard error.
inline QString runEach(const QString& program, const QVector<QStringList>& steps,
                       const QString& workingDirectory)
{
    for (const QStringList& step : steps) {
        const ProgramRun run =
            runProgram(program, step, QProcessEnvironment::systemEnvironment(), workingDirectory);
        if (run.exitCode != 0)
            return QStringLiteral("%1 %2: %3")
                .arg(program, step.join(' '), QString::fromLocal8Bit(run.err));
    }
    return QString();
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
