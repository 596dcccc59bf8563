// Counts the bytes malloc hands out between Start and Stop, and their peak.
#pragma once

#include <cstddef>

namespace bench::MemoryCounter {

void Start();
// The peak of the bytes allocated and not yet freed since Start, so far.
std::size_t Peak();
// The peak of the bytes allocated and not yet freed since Start.
std::size_t Stop();

}  // namespace bench::MemoryCounter
