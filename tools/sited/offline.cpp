#include "offline.h"

namespace trklib::sited {

bool runOffline(const site::SiteConfig&, const QString& capture, const QString&, const QString&,
                OfflineRun&, QString& error)
{
    error = capture + QStringLiteral(": offline fusion is not built yet");
    return false;
}

} // namespace trklib::sited
