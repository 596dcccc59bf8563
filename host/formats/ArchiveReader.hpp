// A tar archive, plain or compressed with gzip or xz (told apart by
// content), read member by member in one pass, from memory, a regular file
// or a pipe. libarchive reads the tar; zlib and liblzma decompress, so that
// every gzip member's CRC and length and every xz check are verified (the
// archive is read to the end of its compressed data, as gzip -t and xz -t
// read it). Memory follows the data: a member's storage is reserved at once
// only when the archive is known to hold it, else it grows as its data
// arrives.
#pragma once

#include "support/LargeArrays.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct archive;

namespace iicheck {

// Where the bytes of an archive come from. A regular file is read a block
// at a time; a pipe or a device as its data arrives, waiting for it in
// poll(), so that a stop asked for by a signal ends the wait within a tenth
// of a second. Every block polls the stop (InterruptRequested).
class ArchiveSource {
public:
    // The bytes, which must outlive the source.
    explicit ArchiveSource(std::string_view bytes);
    // The file; an InputError naming it when it cannot be opened or is a
    // folder.
    explicit ArchiveSource(const std::string& path);
    ~ArchiveSource();
    ArchiveSource(const ArchiveSource&) = delete;
    ArchiveSource& operator=(const ArchiveSource&) = delete;

    // The size when it is known (memory, a regular file), else 0.
    uint64_t KnownSize() const { return size_; }
    bool SizeKnown() const { return kind_ != Kind::Stream; }

    // The next bytes; empty at the end.
    std::string_view Read();
    // Skips up to count bytes where that costs no reading (a regular
    // file); returns how many it skipped.
    uint64_t Skip(uint64_t count);
    // Starts again at the first byte. A pipe keeps what it has delivered
    // until StopKeeping, and delivers that again first.
    void Rewind();
    void StopKeeping();

private:
    enum class Kind { Memory, File, Stream };
    Kind kind_;
    std::string_view bytes_;
    std::string path_;
    int file_ = -1;
    uint64_t size_ = 0;
    bool delivered_ = false;  // memory: the bytes were handed over
    std::unique_ptr<char[]> block_;
    bool keeping_ = true;     // a pipe: keep what is read for Rewind
    std::string kept_;
    std::size_t replay_ = 0;  // a pipe after Rewind: bytes of kept_ delivered again
    bool replaying_ = false;
};

// The members of a tar archive in order, read in one pass; name is the
// archive's, for messages. Every error is an InputError of one line naming
// the archive and, where there is one, the member.
class ArchiveReader {
public:
    ArchiveReader(ArchiveSource& source, const std::string& name);
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    struct Member {
        std::string Path;      // as written, but for "." and empty components ("./a//b" is "a/b")
        bool Regular = false;  // a regular file (not a folder, link or device)
        int64_t Size = -1;     // the size its header gives, or -1
    };
    // Moves to the next member; false at the end of the archive.
    bool Next(Member& member);

    // After the last member: reads the compressed data to its end and
    // checks it. Returns a note for data after the end of a gzip stream,
    // which gzip ignores with a warning, else "".
    std::string Finish();

    // Hands the current member, which must hold exactly `bytes` bytes, to
    // consume(const char* data, std::size_t count) in runs of whole elements
    // of Size bytes, in order. The blocks of a plain archive come straight
    // from where it lies: each is copied once, into the model. The data need
    // not be aligned.
    template <std::size_t Size, typename Consume>
    void Stream(uint64_t bytes, int64_t declared, Consume&& consume);

    // Makes room in array for `more` elements beyond its size, of `total` in
    // all: at once when the archive is known to hold them (the budget checks
    // that); else room for what a typical compression ratio allows at first,
    // then more only as the data arrives.
    template <typename T>
    void MakeRoom(std::vector<T>& array, uint64_t more, uint64_t total);

    // Reads the current member, `bytes` bytes, into destination as they
    // stand; look(element) sees each element as it is copied.
    template <typename T, typename Look>
    void Read(uint64_t bytes, int64_t declared, std::vector<T>& destination, Look&& look);
    template <typename T>
    void Read(uint64_t bytes, int64_t declared, std::vector<T>& destination) {
        Read(bytes, declared, destination, [](const T&) {});
    }

    [[noreturn]] void FailMember(const std::string& text) const;

private:
    class Tar;
    // Checks `bytes` against what the archive can still hold and against
    // the member's declared size.
    void Claim(uint64_t bytes, int64_t declared);
    // The next block of the current member's data at its offset; false at
    // its end.
    bool NextBlock(const char*& data, std::size_t& length, uint64_t& offset);

    std::string name_;
    std::unique_ptr<Tar> tar_;
    archive* archive_;
    std::string member_;
    uint64_t budget_ = 0;
    bool budgetKnown_ = false;
    bool growing_ = false;  // storage grows as the data arrives
    uint64_t size_ = 0;
};

// ---- templates ----

template <std::size_t Size, typename Consume>
void ArchiveReader::Stream(uint64_t bytes, int64_t declared, Consume&& consume) {
    Claim(bytes, declared);
    char carry[Size];  // an element split between two blocks
    std::size_t carried = 0;
    const auto feed = [&](const char* data, std::size_t length) {
        if (carried > 0) {
            const std::size_t take = std::min(Size - carried, length);
            std::memcpy(carry + carried, data, take);
            carried += take;
            data += take;
            length -= take;
            if (carried < Size) return;
            consume(static_cast<const char*>(carry), std::size_t{1});
            carried = 0;
        }
        const std::size_t whole = length / Size;
        if (whole > 0) consume(data, whole);
        carried = length - whole * Size;
        if (carried > 0) std::memcpy(carry, data + whole * Size, carried);
    };
    uint64_t got = 0;
    const char* block = nullptr;
    std::size_t length = 0;
    uint64_t start = 0;
    while (NextBlock(block, length, start)) {
        if (start < got) FailMember("cannot be read: its blocks are out of order");
        if (start > bytes || length > bytes - start) {
            FailMember("is longer than the " + std::to_string(bytes) + " bytes the index implies");
        }
        // The holes of a sparse member are zeros.
        static constexpr char kZeros[4096] = {};
        while (got < start) {
            const auto n = static_cast<std::size_t>(std::min<uint64_t>(sizeof kZeros, start - got));
            feed(kZeros, n);
            got += n;
        }
        if (length > 0) feed(block, length);
        got += length;
    }
    if (got < bytes) {
        FailMember("ends after " + std::to_string(got) + " of " + std::to_string(bytes) + " bytes");
    }
}

template <typename T>
void ArchiveReader::MakeRoom(std::vector<T>& array, uint64_t more, uint64_t total) {
    // The storage of a growing member starts at 32 times the archive's size
    // (at least 1 MiB) and doubles as its data arrives.
    constexpr uint64_t kFirstChunk = uint64_t{1} << 20;
    constexpr uint64_t kTypicalRatio = 32;
    const uint64_t needed = array.size() + more;
    if (needed <= array.capacity()) return;
    uint64_t room = total;
    if (growing_) {
        const uint64_t first = std::max(kFirstChunk, kTypicalRatio * size_) / sizeof(T);
        room = std::max(needed, std::min(total, std::max<uint64_t>(first, 2 * array.capacity())));
    }
    ReserveLarge(array, static_cast<std::size_t>(room));
}

template <typename T, typename Look>
void ArchiveReader::Read(uint64_t bytes, int64_t declared, std::vector<T>& destination, Look&& look) {
    Stream<sizeof(T)>(bytes, declared, [&](const char* data, std::size_t count) {
        MakeRoom(destination, count, bytes / sizeof(T));
        AppendEach(destination, count, [&](std::size_t i) {
            T element;
            std::memcpy(&element, data + sizeof(T) * i, sizeof(T));
            look(element);
            return element;
        });
    });
}

}  // namespace iicheck
