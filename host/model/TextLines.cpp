#include "model/TextLines.hpp"

#include "support/Interrupt.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <emmintrin.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace iicheck {
namespace {

// What is read at once: large enough that a read costs little next to
// parsing what it brings, small enough to stay in the caches.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

// Adds the occurrences of a and b in [p, end) to countA and countB, 16
// bytes at a time: a match counts -1 in its byte, and the bytes are summed
// before they can wrap around.
void CountBytes(const char* p, const char* end, char a, char b, uint64_t& countA, uint64_t& countB) {
    const __m128i repeatedA = _mm_set1_epi8(a);
    const __m128i repeatedB = _mm_set1_epi8(b);
    const __m128i zero = _mm_setzero_si128();
    const auto total = [&](__m128i bytes) {
        const __m128i sums = _mm_sad_epu8(bytes, zero);
        return static_cast<uint64_t>(_mm_cvtsi128_si64(sums)) +
               static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    };
    while (end - p >= 16) {
        __m128i matchesA = zero;
        __m128i matchesB = zero;
        for (int i = 0; i < 255 && end - p >= 16; ++i, p += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            matchesA = _mm_sub_epi8(matchesA, _mm_cmpeq_epi8(bytes, repeatedA));
            matchesB = _mm_sub_epi8(matchesB, _mm_cmpeq_epi8(bytes, repeatedB));
        }
        countA += total(matchesA);
        countB += total(matchesB);
    }
    for (; p != end; ++p) {
        countA += *p == a;
        countB += *p == b;
    }
}

}  // namespace

TextSource::TextSource(const std::string& path) : name_(path) {
    fd_ = OpenForReading(path.c_str());
    if (fd_ < 0) throw InputError(Printable(path) + ": cannot open: " + std::strerror(errno));
    struct stat info;
    if (::fstat(fd_, &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            ::close(fd_);
            throw InputError(Printable(path) + ": is a directory");
        }
        if (S_ISREG(info.st_mode)) {
            sizeKnown_ = true;
            size_ = static_cast<uint64_t>(info.st_size);
            ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
        }
    }
}

TextSource::TextSource(std::string_view text, const std::string& name)
    : name_(name), memory_(text), sizeKnown_(true), size_(text.size()) {}

TextSource::~TextSource() {
    if (fd_ >= 0) ::close(fd_);
}

bool TextSource::ReadMore() {
    const std::size_t room = capacity_ - filled_;
    if (fd_ < 0) {
        const std::size_t n = std::min(room, memory_.size());
        std::memcpy(buffer_.get() + filled_, memory_.data(), n);
        memory_.remove_prefix(n);
        filled_ += n;
        return n != 0;
    }
    while (true) {
        const ssize_t got = ReadInterruptibly(fd_, buffer_.get() + filled_, room);
        if (got > 0) {
            filled_ += static_cast<std::size_t>(got);
            fileOffset_ += static_cast<uint64_t>(got);
            return true;
        }
        if (got == 0) return false;
        if (errno != EINTR) throw InputError(Printable(name_) + ": cannot read: " + std::strerror(errno));
    }
}

bool TextSource::Next(const char*& begin, const char*& end, uint64_t linesBefore) {
    if (InterruptRequested()) throw Interrupted(kReading);
    if (!buffer_) {
        const std::size_t first = sizeKnown_ ? std::min<uint64_t>(kChunkBytes, size_ + 1) : kChunkBytes;
        capacity_ = std::max<std::size_t>(first, 64);
        buffer_.reset(static_cast<char*>(std::malloc(capacity_ + 1 + kPadding)));
        if (!buffer_) throw std::bad_alloc();
    }
    // The partial line after the last block moves to the front.
    std::memmove(buffer_.get(), buffer_.get() + handed_, filled_ - handed_);
    filled_ -= handed_;
    handed_ = 0;
    std::size_t searched = filled_;  // bytes known to hold no line feed
    while (true) {
        const char* data = buffer_.get();
        const void* last = filled_ > searched ? ::memrchr(data + searched, '\n', filled_ - searched) : nullptr;
        if (last != nullptr) {
            handed_ = static_cast<std::size_t>(static_cast<const char*>(last) - data) + 1;
            break;
        }
        searched = filled_;
        if (filled_ == capacity_) {  // full, without a line feed
            if (capacity_ > kMaxLineBytes) {
                throw InputError(Printable(name_) + ":" + std::to_string(linesBefore + 1) +
                                 ": the line is longer than " + std::to_string(kMaxLineBytes >> 20) +
                                 " MiB, the most a line may hold");
            }
            const std::size_t grown = std::min(2 * capacity_, kMaxLineBytes + 1);
            char* larger = static_cast<char*>(std::realloc(buffer_.get(), grown + 1 + kPadding));
            if (larger == nullptr) throw std::bad_alloc();
            buffer_.release();
            buffer_.reset(larger);
            capacity_ = grown;
        }
        if (ended_ || !ReadMore()) {
            ended_ = true;
            if (filled_ == 0) return false;
            // A last line without a line feed gets one; there is room.
            buffer_.get()[filled_++] = '\n';
            handed_ = filled_;
            break;
        }
    }
    // What a look beyond the block reads is defined.
    std::memset(buffer_.get() + filled_, 0, kPadding);
    begin = buffer_.get();
    end = begin + handed_;
    offset_ += handed_;
    return true;
}

void TextSource::CountAhead(char a, char b, uint64_t& countA, uint64_t& countB) {
    countA = 0;
    countB = 0;
    if (buffer_) CountBytes(buffer_.get() + handed_, buffer_.get() + filled_, a, b, countA, countB);
    if (fd_ < 0) {
        CountBytes(memory_.data(), memory_.data() + memory_.size(), a, b, countA, countB);
        return;
    }
    // The rest of the file, read beside the stream.
    std::unique_ptr<char[]> chunk(new char[kChunkBytes]);
    for (uint64_t at = fileOffset_;; ) {
        if (InterruptRequested()) throw Interrupted(kReading);
        const ssize_t got = ::pread(fd_, chunk.get(), kChunkBytes, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;  // an error is met again by the reads
        CountBytes(chunk.get(), chunk.get() + got, a, b, countA, countB);
        at += static_cast<uint64_t>(got);
    }
}

void LineReader::CountAhead(char a, char b, uint64_t& countA, uint64_t& countB) {
    source_.CountAhead(a, b, countA, countB);
    if (p_ != nullptr) CountBytes(p_, end_, a, b, countA, countB);
}

bool LineReader::Rest(const char*& p, const char*& end) {
    if (p_ == end_ && !source_.Next(p_, end_, number_)) return false;
    p = p_;
    end = end_;
    return true;
}

bool LineReader::Next(const char*& begin, const char*& end) {
    if (repeat_) {
        repeat_ = false;
        begin = lineBegin_;
        end = lineEnd_;
        ++number_;
        return true;
    }
    const char* p;
    const char* blockEnd;
    if (!Rest(p, blockEnd)) return false;
    const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(blockEnd - p)));
    begin = p;
    end = newline;
    if (end != begin && end[-1] == '\r') --end;
    p_ = newline + 1;
    ++number_;
    lineBegin_ = begin;
    lineEnd_ = end;
    return true;
}

bool LineReader::NextContent(const char*& begin, const char*& end) {
    while (Next(begin, end)) {
        const char* p = begin;
        while (p != end && IsBlank(*p)) ++p;
        if (p != end && *p != '#') return true;
    }
    return false;
}

}  // namespace iicheck
