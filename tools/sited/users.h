#pragma once

#include "tools/sited/options.h"

#include "tools/common/site/siteconfig.h"

#include <cstdio>

// sited --add-user and --remove-user: the users file of the site file's
// [http] users_file changed, written whole or left as it was.
namespace trklib::sited {

// Reads a password without echo from a terminal (asked twice), else one
// line of in. False with one line.
bool readPassword(std::FILE* in, const QString& name, QByteArray& password, QString& error);

// The command's exit code (0, 1 on a failure, 2 on bad input); says what
// it did, or why not, on one line.
int runUserCommand(const Options& options, const site::SiteConfig& site);

} // namespace trklib::sited
