// Storage for the large arrays of a model.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace iicheck {

// Reserves room for count elements and asks the kernel to back it with huge
// pages. Faulting in the arrays of a large model 4 KiB at a time can take
// longer than reading the model itself.
template <typename T>
void ReserveLarge(std::vector<T>& array, std::size_t count) {
    constexpr std::size_t kPage = 4096;
    constexpr std::size_t kWorthIt = std::size_t{4} << 20;
    array.reserve(count);
    const std::size_t bytes = array.capacity() * sizeof(T);
    if (bytes < kWorthIt) return;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(array.data()) + kPage - 1) & ~(kPage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(array.data()) + bytes) & ~(kPage - 1);
    // Only advice: without huge pages the array works all the same.
    ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Makes room for count more elements, up to limit in all, growing by half
// at least: for arrays whose final size is not known beforehand.
template <typename T>
void GrowLarge(std::vector<T>& array, std::size_t count, std::size_t limit) {
    const std::size_t needed = std::min(array.size() + count, limit);
    if (needed <= array.capacity()) return;
    std::vector<T> larger;
    ReserveLarge(larger, std::min(limit, std::max(needed, array.capacity() + array.capacity() / 2)));
    larger.insert(larger.end(), array.begin(), array.end());
    array.swap(larger);
}

// Makes array count copies of value, in memory reserved with ReserveLarge.
template <typename T>
void AssignLarge(std::vector<T>& array, std::size_t count, const T& value) {
    if (array.capacity() < count) {
        std::vector<T>().swap(array);
        ReserveLarge(array, count);
    }
    array.assign(count, value);
}

// A new array of count copies of value, in memory reserved with ReserveLarge.
template <typename T>
std::vector<T> LargeArray(std::size_t count, const T& value) {
    std::vector<T> array;
    AssignLarge(array, count, value);
    return array;
}

// Appends count elements, the i-th made by make(i), without filling them
// with zeros first: the array grows a piece at a time, and each piece is
// written while it is still in the cache. Reserve the room beforehand, or
// the array grows as resize() makes it.
template <typename T, typename Make>
void AppendEach(std::vector<T>& array, std::size_t count, Make&& make) {
    constexpr std::size_t kPiece = (std::size_t{16} << 10) / sizeof(T);
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(kPiece, count - done);
        const std::size_t old = array.size();
        array.resize(old + n);
        T* out = array.data() + old;
        for (std::size_t i = 0; i < n; ++i) out[i] = make(done + i);
        done += n;
    }
}

// Gives the array's memory back (clear() keeps it).
template <typename T>
void Release(std::vector<T>& array) {
    std::vector<T>().swap(array);
}

}  // namespace iicheck
