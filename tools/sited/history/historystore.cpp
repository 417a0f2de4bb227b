#include "tools/sited/history/historystore.h"

#include "tools/sited/history/historybackends.h"

namespace trklib::sited::history {

bool Store::isPostgresUrl(const QString& database)
{
    return database.startsWith(QLatin1String("postgresql://")) ||
           database.startsWith(QLatin1String("postgres://"));
}

std::unique_ptr<Store> Store::open(const QString& database, const QString& site, QString& error)
{
    if (database.isEmpty()) {
        error = QStringLiteral("history: no database given");
        return nullptr;
    }
    return isPostgresUrl(database) ? openPostgres(database, site, error)
                                   : openSqlite(database, site, error);
}

} // namespace trklib::sited::history
