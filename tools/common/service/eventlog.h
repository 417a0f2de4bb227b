#pragma once

#include <QString>

// The log of the site's services: one line per event on standard error,
// the program's name first ("trackd: ", "sited: ").
// Under systemd, whose journal reads standard error, each line starts with
// its syslog priority ("<4>") instead, so that the journal files it at the
// right level; on a terminal or in a file the lines stay plain.
namespace trklib::service {

enum class Priority
{
    Error = 3,
    Warning = 4,
    Info = 6
};

void logEvent(Priority priority, const QString& line);

} // namespace trklib::service
