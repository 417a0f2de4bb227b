#include "tools/common/cli/text.h"

namespace trklib::cli {

QString counted(qint64 count, const QString& noun)
{
    return QStringLiteral("%1 %2%3").arg(count).arg(noun).arg(count == 1 ? "" : "s");
}

} // namespace trklib::cli
