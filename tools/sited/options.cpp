#include "tools/sited/options.h"

#include "tools/common/cli/outputfiles.h"

#include <algorithm>

namespace trklib::sited {

namespace {

const QString usage = QStringLiteral(
    "Usage: sited --config FILE\n"
    "   or: sited --check-config FILE\n"
    "   or: sited --config FILE --capture CAPTURE --output PICTURES [--tracks-output TRACKS]\n"
    "                [--events EVENTS] [--features-output FEATURES]\n"
    "   or: sited --align --config FILE --capture CAPTURE\n"
    "   or: sited --config FILE --align-camera NAME --points POINTS\n"
    "   or: sited --config FILE --export --from TIME --to TIME --format geojson|csv OUT\n"
    "   or: sited --config FILE --add-user NAME viewer|operator|admin\n"
    "   or: sited --config FILE --remove-user NAME\n");

const QString help = QStringLiteral(
    "Fuses the tracks of every radar of a site into one picture of the site's objects, live "
    "over MQTT or offline from a capture.\n"
    "\n"
    "  --config FILE           run as the site file FILE says, until SIGTERM or SIGINT: "
    "subscribe to every radar's tracks on the site's broker and publish the picture 'rate' "
    "times a second and the status once a second\n"
    "  --check-config FILE     check FILE, and that this user may write the history's SQLite "
    "file and its folder, and exit: 0 when good, 2 with the reason\n"
    "  --capture CAPTURE       with --config and --output: track and fuse the radars' "
    "datagrams of a pcap capture, its frame times as the clock, instead of the broker\n"
    "  --output PICTURES       write the offline run's pictures there, one JSON object a line\n"
    "  --tracks-output TRACKS  also write every radar's tracks messages there, one a line, as "
    "trackd would publish them\n"
    "  --events EVENTS         also write the events of the site file's zones there, one JSON "
    "object a line, in the order raised\n"
    "  --features-output FEATURES  also write each object's features and class probabilities "
    "there, CSV, a row per object twice a second (scripts/train-classes reads them)\n"
    "  --align                 with --config and --capture: run the capture as --capture does, "
    "without output files, and print each radar's mounting error that the objects two radars "
    "saw at once give, with its uncertainty, and the site file's keys corrected by it, to copy "
    "into the site file\n"
    "  --align-camera NAME     with --config and --points: the pan and tilt offsets of the "
    "site file's camera NAME from three or more surveyed points and the camera's pan and tilt "
    "that centre each, with the residual, and its heading and tilt_offset keys corrected by "
    "them, to copy into the site file\n"
    "  --points POINTS         the surveyed points, a line each: x y z (metres, the site's) "
    "and pan tilt (degrees, as the camera shows them); # starts a comment\n"
    "  --export                with --config, --from, --to and --format: write the tracks "
    "recorded in the site's history from TIME to TIME (both included; ms since the epoch or "
    "ISO 8601 with a zone) to OUT, as GeoJSON (one LineString per object) or CSV (one line per "
    "object and picture)\n"
    "  --add-user NAME ROLE    add the user NAME to the users file of the site file's [http] "
    "users_file (made when missing), or give it a new role and password: the password is read "
    "from the terminal without echo, twice, or as one line from standard input when that is "
    "not a terminal; ROLE is viewer, operator or admin\n"
    "  --remove-user NAME      remove the user NAME from the users file\n"
    "  --help                  show this text\n"
    "  --version               show the version\n");

// The options that take a file, and where each goes.
struct FileOption
{
    const char* name;
    QString Options::*field;
};

const FileOption fileOptions[]{
    {"--config", &Options::config},
    {"--check-config", &Options::config},
    {"--capture", &Options::capture},
    {"--output", &Options::output},
    {"--tracks-output", &Options::tracksOutput},
    {"--events", &Options::eventsOutput},
    {"--features-output", &Options::featuresOutput},
    {"--from", &Options::from},
    {"--to", &Options::to},
    {"--format", &Options::format},
    {"--align-camera", &Options::cameraName},
    {"--points", &Options::points},
};

// The options of --export, which take a value rather than a file.
bool isExportValue(const QString& option)
{
    return option == QLatin1String("--from") || option == QLatin1String("--to") ||
           option == QLatin1String("--format") || option == QLatin1String("--align-camera");
}

bool parseExport(const QStringList& given, Options& options, QString& error)
{
    for (const char* needed : {"--config", "--from", "--to", "--format"}) {
        if (!given.contains(QLatin1String(needed))) {
            error = QStringLiteral("--export needs %1").arg(QLatin1String(needed));
            return false;
        }
    }
    if (given.size() != 5) { // --export and the four above
        error = QStringLiteral("--export takes only --config, --from, --to and --format");
        return false;
    }
    if (options.exportOutput.isEmpty()) {
        error = QStringLiteral("--export needs the file to write");
        return false;
    }
    options.mode = Options::Mode::Export;
    error = cli::findSharedFile({{QStringLiteral("--config"), options.config}},
                                {{QStringLiteral("OUT"), options.exportOutput}});
    return error.isEmpty();
}

// --add-user NAME ROLE or --remove-user NAME, and --config FILE, in
// either order.
bool parseUserCommand(const QStringList& arguments, Options& options, QString& error)
{
    const bool add = arguments.contains(QLatin1String("--add-user"));
    const QString command = add ? QStringLiteral("--add-user") : QStringLiteral("--remove-user");
    const int values = add ? 2 : 1;
    QStringList rest = arguments;
    const int at = rest.indexOf(command);
    if (rest.count(command) > 1 || (add && rest.contains(QLatin1String("--remove-user")))) {
        error = QStringLiteral("give one of --add-user and --remove-user, once");
        return false;
    }
    if (at + values >= rest.size() ||
        std::any_of(rest.begin() + at + 1, rest.begin() + at + 1 + values, [](const QString& v) {
            return v.isEmpty() || v.startsWith(QLatin1Char('-'));
        })) {
        error = add ? QStringLiteral("--add-user needs a NAME and a ROLE")
                    : QStringLiteral("--remove-user needs a NAME");
        return false;
    }
    options.userName = rest[at + 1];
    if (add)
        options.userRole = rest[at + 2];
    rest.erase(rest.begin() + at, rest.begin() + at + 1 + values);
    if (rest.size() != 2 || rest[0] != QLatin1String("--config") || rest[1].isEmpty()) {
        error = QStringLiteral("%1 takes only --config FILE").arg(command);
        return false;
    }
    options.config = rest[1];
    options.mode = add ? Options::Mode::AddUser : Options::Mode::RemoveUser;
    return true;
}

} // namespace

QString usageText()
{
    return usage;
}

QString helpText()
{
    return usage + help;
}

bool parseOptions(const QStringList& arguments, Options& options, QString& error)
{
    options = Options();
    if (arguments == QStringList{QStringLiteral("--help")}) {
        options.mode = Options::Mode::Help;
        return true;
    }
    if (arguments == QStringList{QStringLiteral("--version")}) {
        options.mode = Options::Mode::Version;
        return true;
    }
    if (arguments.contains(QLatin1String("--add-user")) ||
        arguments.contains(QLatin1String("--remove-user")))
        return parseUserCommand(arguments, options, error);
    QStringList given;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--export") || argument == QLatin1String("--align")) {
            if (given.contains(argument)) {
                error = QStringLiteral("%1 given twice").arg(argument);
                return false;
            }
            given << argument;
            continue;
        }
        if (given.contains(QLatin1String("--export")) && !argument.startsWith(QLatin1Char('-')) &&
            options.exportOutput.isEmpty()) {
            options.exportOutput = argument;
            continue;
        }
        const FileOption* option = nullptr;
        for (const FileOption& o : fileOptions) {
            if (argument == QLatin1String(o.name))
                option = &o;
        }
        if (!option) {
            error = argument.startsWith(QLatin1Char('-'))
                        ? QStringLiteral("unknown option %1").arg(argument)
                        : QStringLiteral("unexpected argument '%1'").arg(argument);
            return false;
        }
        if (given.contains(argument)) {
            error = QStringLiteral("%1 given twice").arg(argument);
            return false;
        }
        if (i + 1 == arguments.size() || arguments[i + 1].isEmpty()) {
            error = QStringLiteral("%1 needs a %2")
                        .arg(argument, isExportValue(argument) ? QStringLiteral("value")
                                                               : QStringLiteral("file"));
            return false;
        }
        given << argument;
        options.*(option->field) = arguments[++i];
    }

    const auto has = [&given](const char* name) { return given.contains(QLatin1String(name)); };
    if (has("--check-config")) {
        if (given.size() > 1) {
            error = QStringLiteral("--check-config takes no other option");
            return false;
        }
        options.mode = Options::Mode::Check;
        return true;
    }
    if (!has("--config")) {
        error = QStringLiteral("--config FILE is needed");
        return false;
    }
    if (has("--export"))
        return parseExport(given, options, error);
    if (has("--align")) {
        if (!has("--capture") || given.size() != 3) {
            error = QStringLiteral("--align takes --config and --capture alone");
            return false;
        }
        options.mode = Options::Mode::Align;
        return true;
    }
    if (has("--align-camera") || has("--points")) {
        if (!has("--align-camera") || !has("--points") || given.size() != 3) {
            error = QStringLiteral("--align-camera takes --config and --points alone");
            return false;
        }
        options.mode = Options::Mode::AlignCamera;
        return true;
    }
    for (const char* value : {"--from", "--to", "--format"}) {
        if (has(value)) {
            error = QStringLiteral("%1 is for --export").arg(QLatin1String(value));
            return false;
        }
    }
    if (has("--capture") != has("--output")) {
        error = has("--capture") ? QStringLiteral("--capture needs --output")
                                 : QStringLiteral("--output is for --capture");
        return false;
    }
    for (const char* output : {"--tracks-output", "--events", "--features-output"}) {
        if (has(output) && !has("--capture")) {
            error = QStringLiteral("%1 is for --capture").arg(QLatin1String(output));
            return false;
        }
    }
    if (!has("--capture"))
        return true;
    options.mode = Options::Mode::Offline;
    QVector<cli::FileArgument> outputs{{QStringLiteral("--output"), options.output}};
    if (!options.tracksOutput.isEmpty())
        outputs.append({QStringLiteral("--tracks-output"), options.tracksOutput});
    if (!options.eventsOutput.isEmpty())
        outputs.append({QStringLiteral("--events"), options.eventsOutput});
    if (!options.featuresOutput.isEmpty())
        outputs.append({QStringLiteral("--features-output"), options.featuresOutput});
    error = cli::findSharedFile({{QStringLiteral("--config"), options.config},
                                 {QStringLiteral("--capture"), options.capture}},
                                outputs);
    return error.isEmpty();
}

} // namespace trklib::sited
