#include "options.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

#include <cmath>
#include <limits>

namespace trklib::replay {

namespace {

// The file a path names, for telling whether two paths name the same one:
// the canonical path of an existing file; for a file yet to be created, its
// name in the canonical path of its directory.
QString fileIdentity(const QString& path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString directory = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (!directory.isEmpty())
        return QDir(directory).filePath(info.fileName());
    return QDir::cleanPath(info.absoluteFilePath());
}

// Opening an output truncates it: an output that names the capture would
// destroy it before it is read, and two outputs in one file would garble
// both. Standard output (an empty path) clashes with nothing.
QString pathClash(const Options& options)
{
    const QString capture = fileIdentity(options.capture);
    const QString output = options.output.isEmpty() ? QString() : fileIdentity(options.output);
    const QString validation =
        options.validation.isEmpty() ? QString() : fileIdentity(options.validation);
    if (!output.isEmpty() && output == capture)
        return QStringLiteral("--output names the capture '%1'").arg(options.capture);
    if (!validation.isEmpty() && validation == capture)
        return QStringLiteral("--validation names the capture '%1'").arg(options.capture);
    if (!output.isEmpty() && output == validation)
        return QStringLiteral("--output and --validation name the same file '%1'")
            .arg(options.validation);
    return {};
}

} // namespace

QString usage()
{
    return QStringLiteral(
        "usage: trackreplay CAPTURE [--tilt DEG] [--pan DEG] [--height M] [--pan-offset DEG]\n"
        "                   [--orientation 0|1] [--port N] [-o|--output FILE]\n"
        "                   [--validation FILE] [--help]\n");
}

QString helpText()
{
    constexpr int helpColumn = 22; // where the options' meanings start
    return usage() +
           QStringLiteral(
               "\n"
               "Tracks the radar packets of a pcap or pcapng capture and writes one CSV row\n"
               "per reported target and packet.\n"
               "\n") +
           tools::mountingHelp(helpColumn) +
           QStringLiteral(
               "  --port N            UDP destination port of the radar traffic (default %1)\n"
               "  -o, --output FILE   target CSV, - for standard output (the default)\n"
               "  --validation FILE   also write the amplitude maxima of every packet as CSV\n"
               "  --help              show this text\n")
               .arg(wire::defaultPort);
}

ParseResult parseOptions(const QStringList& arguments, Options& options, QString& message)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    QList<QCommandLineOption> mounting;
    for (const tools::MountingOption& m : tools::mountingOptions())
        mounting.append(QCommandLineOption(m.name, {}, m.valueName));
    const QCommandLineOption port("port", {}, "N");
    const QCommandLineOption output({"o", "output"}, {}, "FILE");
    const QCommandLineOption validation("validation", {}, "FILE");
    const QCommandLineOption help("help");
    parser.addOptions(mounting);
    parser.addOptions({port, output, validation, help});

    if (!parser.parse(QStringList{"trackreplay"} + arguments)) {
        message = parser.errorText();
        return ParseResult::Error;
    }
    if (parser.isSet(help))
        return ParseResult::Help;

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        message = positional.isEmpty() ? QStringLiteral("no capture file given")
                                       : QStringLiteral("more than one capture file given");
        return ParseResult::Error;
    }
    options.capture = positional.first();

    for (const QCommandLineOption& option : qAsConst(mounting)) {
        if (parser.isSet(option) &&
            !tools::setMountingOption(options.config, option.names().first(), parser.value(option),
                                      message))
            return ParseResult::Error;
    }
    if (parser.isSet(port)) {
        bool ok = false;
        const uint value = parser.value(port).toUInt(&ok);
        if (!ok || value == 0 || value > std::numeric_limits<quint16>::max()) {
            message = QStringLiteral("--port needs a number from 1 to 65535, not '%1'")
                          .arg(parser.value(port));
            return ParseResult::Error;
        }
        options.port = quint16(value);
    }
    if (parser.isSet(output)) {
        options.output = parser.value(output);
        if (options.output == QLatin1String("-")) {
            options.output.clear();
        } else if (options.output.isEmpty()) {
            message = QStringLiteral("--output needs a file name");
            return ParseResult::Error;
        }
    }
    if (parser.isSet(validation)) {
        options.validation = parser.value(validation);
        if (options.validation.isEmpty()) {
            message = QStringLiteral("--validation needs a file name");
            return ParseResult::Error;
        }
    }
    message = pathClash(options);
    return message.isEmpty() ? ParseResult::Run : ParseResult::Error;
}

} // namespace trklib::replay
