#pragma once

#include <QString>

namespace trklib::cli {

// A count and its noun, the noun plural but for one: "1 radar",
// "2 radars", "0 radar packets".
QString counted(qint64 count, const QString& noun);

} // namespace trklib::cli
