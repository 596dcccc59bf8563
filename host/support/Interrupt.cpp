#include "support/Interrupt.hpp"

#include <signal.h>

namespace iicheck {
namespace {

// Polled by the library with plain loads; set from the signal handlers.
int32_t gAbortFlag = 0;
int gSignal = 0;

extern "C" void OnSignal(int signal) { RequestInterrupt(signal); }

}  // namespace

void RequestInterrupt(int signal) {
    __atomic_store_n(&gSignal, signal, __ATOMIC_RELAXED);
    __atomic_store_n(&gAbortFlag, 1, __ATOMIC_RELAXED);
}

void ClearInterrupt() {
    __atomic_store_n(&gAbortFlag, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&gSignal, 0, __ATOMIC_RELAXED);
}

void InstallInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool InterruptRequested() { return __atomic_load_n(&gAbortFlag, __ATOMIC_RELAXED) != 0; }

std::string InterruptName() {
    switch (__atomic_load_n(&gSignal, __ATOMIC_RELAXED)) {
        case 0: return "";
        case SIGINT: return "SIGINT, Ctrl-C";
        case SIGTERM: return "SIGTERM";
        default: return "signal " + std::to_string(gSignal);
    }
}

int32_t* AbortFlag() { return &gAbortFlag; }

}  // namespace iicheck
