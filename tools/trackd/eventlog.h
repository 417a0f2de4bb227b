#pragma once

#include "tools/common/service/eventlog.h"

// trackd logs as every service of the site does.
namespace trklib::trackd {

using service::logEvent;
using service::Priority;

} // namespace trklib::trackd
