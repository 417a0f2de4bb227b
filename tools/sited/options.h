#pragma once

#include <QString>
#include <QStringList>

// sited's command line.
namespace trklib::sited {

struct Options
{
    enum class Mode
    {
        Run,         // live, on the broker, until SIGTERM or SIGINT
        Check,       // --check-config: check the site file and exit
        Offline,     // --capture: a capture fused into a file of pictures
        Align,       // --align: a capture's radar mounting errors as site-file keys
        AlignCamera, // --align-camera: a camera's pan and tilt offsets from surveyed points
        Export,      // --export: the recorded tracks of a period written to a file
        AddUser,     // --add-user: a user of the HTTP API added or changed
        RemoveUser,
        Help,
        Version
    };

    Mode mode = Mode::Run;
    QString config;
    QString capture;
    QString output;
    QString tracksOutput;   // empty: none
    QString eventsOutput;   // empty: none
    QString featuresOutput; // empty: none
    // --export's period and format as given (checked by the export) and
    // its output file.
    QString from;
    QString to;
    QString format;
    QString exportOutput;
    // --add-user's and --remove-user's user, as given (checked when run).
    QString userName;
    QString userRole;
    // --align-camera's camera, as given, and --points' file.
    QString cameraName;
    QString points;
};

// Parses the arguments (without the program's name). False with a
// one-line error: an unknown or repeated option, one without its file, a
// mode without what it needs, or an output that is an input or the other
// output.
bool parseOptions(const QStringList& arguments, Options& options, QString& error);

// The help text; errors end with its first lines, the usage.
QString helpText();
QString usageText();

} // namespace trklib::sited
