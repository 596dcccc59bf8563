// A counting malloc for the benchmark programs: it interposes malloc, calloc,
// realloc and free (the library's and GMP's calls bind to these) and forwards
// to glibc's own.
#include "MemoryCounter.hpp"

#include <malloc.h>

#include <atomic>
#include <cstddef>

extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void __libc_free(void*);

namespace {

std::atomic<bool> gCounting{false};
// Signed: a block from before Start that is freed while counting lowers the
// count below zero instead of wrapping it around.
std::atomic<long long> gCurrent{0};
std::atomic<long long> gPeak{0};

long long Size(void* block) { return static_cast<long long>(malloc_usable_size(block)); }

void Gained(void* block) {
    if (block == nullptr || !gCounting.load(std::memory_order_relaxed)) return;
    const long long now = gCurrent += Size(block);
    long long peak = gPeak.load();
    while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
    }
}

void Lost(void* block) {
    if (block != nullptr && gCounting.load(std::memory_order_relaxed)) {
        gCurrent -= Size(block);
    }
}

}  // namespace

extern "C" void* malloc(std::size_t size) {
    void* block = __libc_malloc(size);
    Gained(block);
    return block;
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
    void* block = __libc_calloc(count, size);
    Gained(block);
    return block;
}

// Blocks from before Start may be resized while counting: the counter then
// sees only the new size, which is what it would see of a fresh block.
extern "C" void* realloc(void* old, std::size_t size) {
    Lost(old);
    void* block = __libc_realloc(old, size);
    Gained(block != nullptr || size == 0 ? block : old);
    return block;
}

extern "C" void free(void* block) {
    Lost(block);
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
    return static_cast<std::size_t>(gPeak.load());
}

}  // namespace bench::MemoryCounter
