#include "tools/common/service/stopsignals.h"

#include <csignal>

#include <pthread.h>
#include <sys/signalfd.h>

namespace trklib::service {

int blockStopSignals()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &stopSignals, SFD_CLOEXEC);
}

} // namespace trklib::service
