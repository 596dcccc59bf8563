// A counting malloc for the benchmark program: it interposes malloc and free
// (the library's calls bind to these) and forwards to glibc's own.
#include "MemoryCounter.hpp"

#include <malloc.h>

#include <atomic>
#include <cstddef>

extern "C" void* __libc_malloc(std::size_t);
extern "C" void __libc_free(void*);

namespace {

std::atomic<bool> gCounting{false};
std::atomic<std::size_t> gCurrent{0};
std::atomic<std::size_t> gPeak{0};

}  // namespace

extern "C" void* malloc(std::size_t size) {
    void* block = __libc_malloc(size);
    if (block != nullptr && gCounting.load(std::memory_order_relaxed)) {
        const std::size_t now = gCurrent += malloc_usable_size(block);
        std::size_t peak = gPeak.load();
        while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
        }
    }
    return block;
}

extern "C" void free(void* block) {
    if (block != nullptr && gCounting.load(std::memory_order_relaxed)) {
        gCurrent -= malloc_usable_size(block);
    }
    __libc_free(block);
}

namespace bench::MemoryCounter {

void Start() {
    gCurrent = 0;
    gPeak = 0;
    gCounting = true;
}

std::size_t Stop() {
    gCounting = false;
    return gPeak;
}

}  // namespace bench::MemoryCounter
