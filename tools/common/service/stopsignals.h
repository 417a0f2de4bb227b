#pragma once

// How the site's services stop: SIGTERM and SIGINT are taken from a
// descriptor in the service's main loop, never by a handler.
namespace trklib::service {

// Blocks SIGTERM and SIGINT in the calling thread and every thread it
// starts afterwards (call it before any: libmosquitto's, the recorder's),
// so that none is interrupted by them, and ignores SIGPIPE, so that a
// broker or client that closes its end does not end the process. The
// signalfd(2) that reads the stop signals, or -1 with errno set.
int blockStopSignals();

} // namespace trklib::service
