#include "support/Interrupt.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace iicheck {
namespace {

// Polled by the library with plain loads; set from the signal handlers.
int32_t gAbortFlag = 0;
int gSignal = 0;

// A pipe that a stop writes a byte to, so that a read waiting in poll(2)
// for its input wakes up: a flag alone is not seen by a process that waits
// in the kernel. Made before main, so that the handlers only write to it.
struct WakePipe {
    int Read = -1;
    int Write = -1;
    WakePipe() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
            Read = ends[0];
            Write = ends[1];
        }
    }
};
const WakePipe gWake;

void Wake() {
    if (gWake.Write >= 0) {
        const char byte = 0;
        // Full or failed: a byte already waits, or the flag is seen at the
        // next look.
        [[maybe_unused]] const ssize_t written = ::write(gWake.Write, &byte, 1);
    }
}

// What the second signal writes before the process ends: only
// async-signal-safe calls, so the text is made beforehand.
void WriteSecondSignalLine(int signal) {
    const char* text = signal == SIGINT    ? "iicheck: interrupted again (SIGINT, Ctrl-C); stopped at once\n"
                       : signal == SIGTERM ? "iicheck: interrupted again (SIGTERM); stopped at once\n"
                       : signal == SIGHUP  ? "iicheck: interrupted again (SIGHUP); stopped at once\n"
                                           : "iicheck: interrupted again; stopped at once\n";
    std::size_t length = 0;
    while (text[length] != '\0') ++length;
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text, length);
}

extern "C" void OnSignal(int signal) {
    const int savedErrno = errno;
    if (__atomic_load_n(&gAbortFlag, __ATOMIC_SEQ_CST) != 0) {
        // The first one has not stopped the work yet (or the user insists):
        // end now, but say so, with the exit code of a stop.
        WriteSecondSignalLine(signal);
        ::_exit(kExitInterrupted);
    }
    RequestInterrupt(signal);
    errno = savedErrno;
}

}  // namespace

void RequestInterrupt(int signal) {
    __atomic_store_n(&gSignal, signal, __ATOMIC_SEQ_CST);
    __atomic_store_n(&gAbortFlag, 1, __ATOMIC_SEQ_CST);
    Wake();
}

void ClearInterrupt() {
    __atomic_store_n(&gAbortFlag, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&gSignal, 0, __ATOMIC_SEQ_CST);
    char bytes[64];
    while (gWake.Read >= 0 && ::read(gWake.Read, bytes, sizeof bytes) > 0) {
    }
}

void InstallInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // One handler for all three, so that two signals of different kinds
    // count as two.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

bool InterruptRequested() { return __atomic_load_n(&gAbortFlag, __ATOMIC_SEQ_CST) != 0; }

std::string InterruptName() {
    const int signal = __atomic_load_n(&gSignal, __ATOMIC_SEQ_CST);
    switch (signal) {
        case 0: return "";
        case SIGINT: return "SIGINT, Ctrl-C";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        default: return "signal " + std::to_string(signal);
    }
}

int32_t* AbortFlag() { return &gAbortFlag; }

int OpenForReading(const char* path) {
    // Without O_NONBLOCK, opening a FIFO waits in the kernel for a writer,
    // where no signal ends the wait (SA_RESTART starts it again).
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    return fd;
}

ssize_t ReadInterruptibly(int fd, void* buffer, std::size_t size) {
    while (true) {
        if (InterruptRequested()) throw Interrupted(kReading);
        // Wait until the input or a stop is there. A FIFO whose writer has
        // not yet come reports nothing (Linux), so the wait goes on until
        // it writes or closes.
        pollfd waits[2] = {{fd, POLLIN, 0}, {gWake.Read, POLLIN, 0}};
        const int ready = ::poll(waits, gWake.Read >= 0 ? 2 : 1, gWake.Read >= 0 ? -1 : 100);
        if (ready < 0 && errno != EINTR) return -1;
        if (InterruptRequested()) throw Interrupted(kReading);
        if (ready <= 0) continue;
        const ssize_t got = ::read(fd, buffer, size);
        if (got >= 0) return got;
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    }
}

}  // namespace iicheck
