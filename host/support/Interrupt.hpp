// SIGINT (Ctrl-C) and SIGTERM (what timeout and batch schedulers send) ask
// iicheck to stop: the iteration stops at the library's next poll of the
// abort flag, and the reading and precomputation loops poll the same flag
// and throw Interrupted. A second signal of the same kind ends the process
// at once.
#pragma once

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

void InstallInterruptHandlers();

// What a handler does: raises the abort flag and remembers the signal.
// Tests call it directly; ClearInterrupt lowers the flag again.
void RequestInterrupt(int signal);
void ClearInterrupt();

bool InterruptRequested();
// "SIGINT, Ctrl-C", "SIGTERM", or "" when no signal asked.
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

}  // namespace iicheck
