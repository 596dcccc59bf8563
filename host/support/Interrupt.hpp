// SIGINT (Ctrl-C), SIGTERM (what timeout and batch schedulers send) and
// SIGHUP (a closed terminal) ask iicheck to stop: the iteration stops at the
// library's next poll of the abort flag, and the reading and precomputation
// loops poll the same flag and throw Interrupted. A read that waits for
// input (a pipe that stalls, a FIFO without a writer) waits for the signal
// too, so it stops at once. A second signal ends the process at once with a
// line on stderr and the exit code of a stop.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace iicheck {

// Thrown by the reading and precomputation loops when a stop was asked for;
// what() names the phase: "reading", "precomputing".
class Interrupted : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The exit code of a stop by a signal; the second signal exits with it too.
inline constexpr int kExitInterrupted = 3;

void InstallInterruptHandlers();

// What a handler does the first time: raises the abort flag, remembers the
// signal and wakes a read that waits for input. Tests call it directly;
// ClearInterrupt lowers the flag again.
void RequestInterrupt(int signal);
void ClearInterrupt();

bool InterruptRequested();
// "SIGINT, Ctrl-C", "SIGTERM", "SIGHUP", or "" when no signal asked.
std::string InterruptName();

// The flag the library polls.
int32_t* AbortFlag();

// The phases that Interrupted names.
inline constexpr const char* kReading = "reading";
inline constexpr const char* kPrecomputing = "precomputing";

// Throws Interrupted(phase) when a stop was asked for; looks at the flag
// once every 65536 values of counter, starting with 0.
inline void PollInterrupt(uint64_t counter, const char* phase) {
    if ((counter & 0xFFFF) == 0 && InterruptRequested()) throw Interrupted(phase);
}

// Opens path for reading without waiting for a FIFO's writer (reads wait
// instead, and a stop ends the wait). -1 with errno set when it cannot be
// opened.
int OpenForReading(const char* path);

// read(2) of at most size bytes that a stop interrupts wherever it waits:
// the bytes read, 0 at the end, -1 with errno on an error; throws
// Interrupted(kReading) when a stop was asked for, before or while waiting.
ssize_t ReadInterruptibly(int fd, void* buffer, std::size_t size);

}  // namespace iicheck
