#include "options.h"

#include "tools/common/cli/outputfiles.h"

#include <QCommandLineParser>

#include <cmath>
#include <limits>

namespace trklib::replay {

QString usage()
{
    return QStringLiteral(
        "Usage: trackreplay [MOUNTING] [--port N] [-o FILE] [--validation FILE] CAPTURE\n");
}

QString helpText()
{
    constexpr int helpColumn = 22; // where the options' meanings start
    return usage() +
           QStringLiteral(
               "\n"
               "Tracks the radar packets of a pcap or pcapng capture and writes one CSV row\n"
               "per reported target and packet.\n"
               "\n"
               "  --port N            UDP destination port of the radar traffic (default %1)\n"
               "  -o, --output FILE   target CSV, - for standard output (the default)\n"
               "  --validation FILE   also write the amplitude maxima of every packet as CSV,\n"
               "                      - for standard output\n"
               "  --help              show this text\n"
               "  --version           show the version\n"
               "\n"
               "Mounting, as the capture was made with:\n")
               .arg(wire::defaultPort) +
           cli::mountingHelp(helpColumn);
}

ParseResult parseOptions(const QStringList& arguments, Options& options, QString& message)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    QList<QCommandLineOption> mounting;
    for (const cli::MountingOption& m : cli::mountingOptions())
        mounting.append(QCommandLineOption(m.name, {}, m.valueName));
    const QCommandLineOption port("port", {}, "N");
    const QCommandLineOption output({"o", "output"}, {}, "FILE");
    const QCommandLineOption validation("validation", {}, "FILE");
    const QCommandLineOption help("help");
    const QCommandLineOption version("version");
    parser.addOptions(mounting);
    parser.addOptions({port, output, validation, help, version});

    if (!parser.parse(QStringList{"trackreplay"} + arguments)) {
        message = parser.errorText();
        return ParseResult::Error;
    }
    if (parser.isSet(help))
        return ParseResult::Help;
    if (parser.isSet(version))
        return ParseResult::Version;

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        message = positional.isEmpty() ? QStringLiteral("no capture file given")
                                       : QStringLiteral("more than one capture file given");
        return ParseResult::Error;
    }
    options.capture = positional.first();

    for (const QCommandLineOption& option : qAsConst(mounting)) {
        if (parser.isSet(option) &&
            !cli::setMountingOption(options.config, option.names().first(), parser.value(option),
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
        if (options.output.isEmpty()) {
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

    QVector<cli::FileArgument> outputs{
        {parser.isSet(output) ? QStringLiteral("--output") : QStringLiteral("--output (default -)"),
         options.output}};
    if (!options.validation.isEmpty())
        outputs.append({QStringLiteral("--validation"), options.validation});
    message = cli::findSharedFile({{QStringLiteral("the capture"), options.capture}}, outputs);
    return message.isEmpty() ? ParseResult::Run : ParseResult::Error;
}

} // namespace trklib::replay
