#pragma once

#include "tools/sited/history/historystore.h"

// The two back ends behind Store::open.
namespace trklib::sited::history {

std::unique_ptr<Store> openSqlite(const QString& path, const QString& site, QString& error);
std::unique_ptr<Store> openPostgres(const QString& url, const QString& site, QString& error);

} // namespace trklib::sited::history
