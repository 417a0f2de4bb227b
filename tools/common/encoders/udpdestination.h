#pragma once

#include "tools/common/site/places.h"

#include <QString>

// The standard outputs' sockets: trackd's and sited's datagrams to the
// destinations the site file names.
namespace trklib::encoders {

// A non-blocking UDP socket connected to the destination: every send goes
// there, and the kernel resolves the route once. -1 with a one-line error
// that starts with key ("[asterix] cat010: cannot send to ...").
int openUdpDestination(const site::Destination& to, const QString& key, QString& error);

} // namespace trklib::encoders
