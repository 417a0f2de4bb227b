#pragma once

#include "input/wireformat.h"
#include "interface/targettrackinginterface.h"
#include "tools/common/cli/mountingoptions.h"

#include <QString>
#include <QStringList>

namespace trklib::replay {

struct Options
{
    QString capture;
    RadarConfig config = cli::defaultMounting();
    quint16 port = wire::defaultPort;
    QString output = QStringLiteral("-"); // "-": standard output
    QString validation;                   // empty: none; "-": standard output
};

enum class ParseResult
{
    Run,
    Help,
    Version,
    Error
};

// Parses the command line (arguments without the program name). On Error,
// message says what is wrong; an output that is the capture or the other
// output (see cli::findSharedFile), or both outputs on standard output,
// is an error too, found before any file is opened.
ParseResult parseOptions(const QStringList& arguments, Options& options, QString& message);

// The synopsis, for errors; the help text adds what every option means.
QString usage();
QString helpText();

} // namespace trklib::replay
