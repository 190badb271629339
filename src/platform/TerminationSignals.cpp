#include "platform/TerminationSignals.h"

#include <signal.h>

#include <thread>

namespace platform {

void InstallTerminationHandler(std::function<void(int signalNumber)> onSignal) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set, onSignal = std::move(onSignal)]() mutable {
        int number = 0;
        if (sigwait(&set, &number) == 0 && onSignal) {
            onSignal(number);
        }
    }).detach();
}

}  // namespace platform
