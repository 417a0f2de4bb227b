#include "options.h"

#include <QCommandLineParser>

#include <cmath>
#include <limits>

namespace trklib::replay {

namespace {

bool toFiniteDouble(const QString& text, double& value)
{
    bool ok = false;
    value = text.toDouble(&ok);
    return ok && std::isfinite(value);
}

} // namespace

QString usage()
{
    return QStringLiteral(
        "usage: trackreplay CAPTURE [--tilt DEG] [--pan DEG] [--height M] [--pan-offset DEG]\n"
        "                   [--orientation N] [--port N] [-o|--output FILE]\n"
        "                   [--validation FILE] [--help]\n");
}

QString helpText()
{
    return usage() +
           QStringLiteral(
               "\n"
               "Tracks the radar packets of a pcap or pcapng capture and writes one CSV row\n"
               "per reported target and packet.\n"
               "\n"
               "  --tilt DEG          radar tilt, degrees (default 0)\n"
               "  --pan DEG           radar pan, degrees (default 0)\n"
               "  --height M          mounting height above the ground, metres (default 0)\n"
               "  --pan-offset DEG    added to every detection's azimuth, degrees (default 0)\n"
               "  --orientation N     0 horizontal, 1 vertical mounting (default 0)\n"
               "  --port N            UDP destination port of the radar traffic (default 34567)\n"
               "  -o, --output FILE   target CSV, - for standard output (the default)\n"
               "  --validation FILE   also write the amplitude maxima of every packet as CSV\n"
               "  --help              show this text\n");
}

ParseResult parseOptions(const QStringList& arguments, Options& options, QString& message)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption tilt("tilt", {}, "DEG");
    const QCommandLineOption pan("pan", {}, "DEG");
    const QCommandLineOption height("height", {}, "M");
    const QCommandLineOption panOffset("pan-offset", {}, "DEG");
    const QCommandLineOption orientation("orientation", {}, "N");
    const QCommandLineOption port("port", {}, "N");
    const QCommandLineOption output({"o", "output"}, {}, "FILE");
    const QCommandLineOption validation("validation", {}, "FILE");
    const QCommandLineOption help("help");
    parser.addOptions({tilt, pan, height, panOffset, orientation, port, output, validation, help});

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

    const struct
    {
        const QCommandLineOption& option;
        double& value;
    } numbers[] = {{tilt, options.config.tilt},
                   {pan, options.config.pan},
                   {height, options.config.height},
                   {panOffset, options.config.panOffset}};
    for (const auto& number : numbers) {
        if (parser.isSet(number.option) &&
            !toFiniteDouble(parser.value(number.option), number.value)) {
            message = QStringLiteral("--%1 needs a number, not '%2'")
                          .arg(number.option.names().first(), parser.value(number.option));
            return ParseResult::Error;
        }
    }
    if (parser.isSet(orientation)) {
        bool ok = false;
        options.config.orientation = parser.value(orientation).toInt(&ok);
        if (!ok) {
            message = QStringLiteral("--orientation needs an integer, not '%1'")
                          .arg(parser.value(orientation));
            return ParseResult::Error;
        }
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
    return ParseResult::Run;
}

} // namespace trklib::replay
