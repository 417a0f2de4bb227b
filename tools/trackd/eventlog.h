#pragma once

#include "tools/common/eventlog.h"

// trackd logs as every service of the site does.
namespace trklib::trackd {

using site::logEvent;
using site::Priority;

} // namespace trklib::trackd
