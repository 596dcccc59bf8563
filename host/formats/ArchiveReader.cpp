#include "formats/ArchiveReader.hpp"

#include "model/ExplicitModel.hpp"
#include "support/Interrupt.hpp"
#include "support/Text.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <archive.h>
#include <archive_entry.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace iicheck {
namespace {

constexpr std::size_t kBlock = std::size_t{1} << 20;
// Decompressed data is handed over in blocks that stay in the cache until
// they are copied into the model.
constexpr std::size_t kOutput = std::size_t{64} << 10;
// How long a read from a pipe waits before it looks for a stop again; a
// signal ends the wait at once (poll is never restarted).
constexpr int kPollMilliseconds = 100;
// The most a byte of compressed data can expand to: deflate's limit is
// 1032; xz reaches about 7000 on zeros.
constexpr uint64_t kGzipRatio = 1100;
constexpr uint64_t kXzRatio = 10000;
// What liblzma may allocate for one stream (its dictionary): xz -9 needs
// 65 MiB.
constexpr uint64_t kXzMemoryLimit = uint64_t{1} << 30;

constexpr unsigned char kGzipMagic[] = {0x1f, 0x8b};
constexpr unsigned char kXzMagic[] = {0xfd, '7', 'z', 'X', 'Z', 0x00};

constexpr const char* kNotArchive = "not a UMB archive (a tar archive, plain or compressed with gzip or xz)";

enum class Filter { None, Gzip, Xz };

bool StartsWith(std::string_view bytes, const unsigned char* magic, std::size_t size) {
    return bytes.size() >= size && std::memcmp(bytes.data(), magic, size) == 0;
}

Filter FilterOf(std::string_view bytes) {
    if (StartsWith(bytes, kGzipMagic, sizeof kGzipMagic)) return Filter::Gzip;
    if (StartsWith(bytes, kXzMagic, sizeof kXzMagic)) return Filter::Xz;
    return Filter::None;
}

[[noreturn]] void FailArchive(const std::string& name, const std::string& text) {
    throw InputError(Printable(name + ": " + text));
}

// A library's message on one line.
std::string OneLine(const char* text) {
    std::string line = text != nullptr ? text : "unknown error";
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::replace(line.begin(), line.end(), '\r', ' ');
    return line;
}

// A member's path without "." and empty components: "./a//b" and "/a/b"
// are "a/b", as tar -x writes them.
std::string NormalPath(const char* path) {
    std::string normal;
    std::string_view rest(path);
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (!normal.empty()) normal += '/';
        normal += part;
    }
    return normal;
}

}  // namespace

// ---- ArchiveSource ----

ArchiveSource::ArchiveSource(std::string_view bytes) : kind_(Kind::Memory), bytes_(bytes), size_(bytes.size()) {}

ArchiveSource::ArchiveSource(const std::string& path) : kind_(Kind::Stream), path_(path) {
    file_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file_ < 0) throw InputError(Printable(path) + ": cannot open: " + std::strerror(errno));
    struct stat info;
    if (::fstat(file_, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(file_);
        throw InputError(Printable(path) + ": is a directory");
    }
    if (::fstat(file_, &info) == 0 && S_ISREG(info.st_mode)) {
        kind_ = Kind::File;
        size_ = static_cast<uint64_t>(info.st_size);
    }
    block_ = std::make_unique<char[]>(kBlock);
}

ArchiveSource::~ArchiveSource() {
    if (file_ >= 0) ::close(file_);
}

std::string_view ArchiveSource::Read() {
    if (InterruptRequested()) throw Interrupted(kReading);
    if (kind_ == Kind::Memory) {
        if (delivered_) return {};
        delivered_ = true;
        return bytes_;
    }
    if (replaying_) {
        const std::size_t n = std::min(kBlock, kept_.size() - replay_);
        replay_ += n;
        if (n > 0) return {kept_.data() + replay_ - n, n};
        replaying_ = false;
        std::string().swap(kept_);
    }
    while (true) {
        if (kind_ == Kind::Stream) {
            pollfd ready{file_, POLLIN, 0};
            const int polled = ::poll(&ready, 1, kPollMilliseconds);
            if (InterruptRequested()) throw Interrupted(kReading);
            if (polled == 0 || (polled < 0 && errno == EINTR)) continue;
        }
        const ssize_t got = ::read(file_, block_.get(), kBlock);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                if (InterruptRequested()) throw Interrupted(kReading);
                continue;
            }
            throw InputError(Printable(path_) + ": cannot read: " + std::strerror(errno));
        }
        const std::string_view block(block_.get(), static_cast<std::size_t>(got));
        if (kind_ == Kind::Stream && keeping_) kept_.append(block);
        return block;
    }
}

uint64_t ArchiveSource::Skip(uint64_t count) {
    if (kind_ != Kind::File) return 0;
    const off_t at = ::lseek(file_, 0, SEEK_CUR);
    if (at < 0) return 0;
    const uint64_t skipped = std::min<uint64_t>(count, size_ > static_cast<uint64_t>(at) ? size_ - at : 0);
    return ::lseek(file_, static_cast<off_t>(skipped), SEEK_CUR) < 0 ? 0 : skipped;
}

void ArchiveSource::Rewind() {
    if (InterruptRequested()) throw Interrupted(kReading);
    switch (kind_) {
        case Kind::Memory: delivered_ = false; break;
        case Kind::File:
            if (::lseek(file_, 0, SEEK_SET) != 0) {
                throw InputError(Printable(path_) + ": cannot read: " + std::strerror(errno));
            }
            break;
        case Kind::Stream:
            replaying_ = true;
            replay_ = 0;
            keeping_ = false;
            break;
    }
}

void ArchiveSource::StopKeeping() {
    keeping_ = false;
    if (!replaying_) std::string().swap(kept_);
}

// ---- The tar's bytes ----

// The bytes of the tar archive, as the source holds them or decompressed,
// handed to libarchive through its callbacks. An exception thrown while
// libarchive waits is kept and thrown again when it returns.
class ArchiveReader::Tar {
public:
    Tar(ArchiveSource& source, const std::string& name) : source_(source), name_(name) {
        // Enough of the start to tell the compression.
        std::string_view first = source_.Read();
        if (!first.empty() && first.size() < sizeof kXzMagic) {
            start_.assign(first);
            while (start_.size() < sizeof kXzMagic) {
                const std::string_view more = source_.Read();
                if (more.empty()) break;
                start_.append(more);
            }
            first = start_;
        }
        input_ = first;
        ended_ = input_.empty();
        filter_ = FilterOf(input_);
        if (filter_ == Filter::None) return;
        output_ = std::make_unique<char[]>(kOutput);
        if (filter_ == Filter::Gzip) {
            // 16 + 15: a gzip member with a window of up to 32 KiB, whose
            // CRC and length are checked at its end.
            if (inflateInit2(&gzip_, 16 + 15) != Z_OK) throw std::bad_alloc();
            gzipOpen_ = true;
        } else {
            if (lzma_stream_decoder(&xz_, kXzMemoryLimit, LZMA_CONCATENATED) != LZMA_OK) throw std::bad_alloc();
            xzOpen_ = true;
        }
    }

    ~Tar() {
        if (gzipOpen_) inflateEnd(&gzip_);
        if (xzOpen_) lzma_end(&xz_);
    }

    Filter Compression() const { return filter_; }

    // The next bytes of the tar; empty at the end of the data.
    std::string_view Read() {
        // A few compressed bytes can expand to much: a look per block.
        if (InterruptRequested()) throw Interrupted(kReading);
        std::string_view bytes;
        switch (filter_) {
            case Filter::None:
                bytes = Raw();
                break;
            case Filter::Gzip: bytes = Inflate(); break;
            case Filter::Xz: bytes = Unxz(); break;
        }
        if (first_ && filter_ != Filter::None && FilterOf(bytes) != Filter::None) {
            FailArchive(name_, "is compressed more than once");
        }
        first_ = first_ && bytes.empty();
        return bytes;
    }

    // Reads the rest of the compressed data; a note for data after a gzip
    // stream.
    std::string Finish() {
        if (filter_ == Filter::None) return "";
        while (!Read().empty()) {
        }
        return garbage_ ? Printable(name_) + ": data after the end of the gzip stream is ignored (gzip warns "
                                             "about it too)"
                        : "";
    }

    // The callbacks of libarchive.
    static la_ssize_t ReadCallback(archive*, void* client, const void** buffer) {
        Tar& tar = *static_cast<Tar*>(client);
        try {
            const std::string_view bytes = tar.Read();
            *buffer = bytes.data();
            return static_cast<la_ssize_t>(bytes.size());
        } catch (...) {
            tar.pending_ = std::current_exception();
            return -1;
        }
    }
    static la_int64_t SkipCallback(archive*, void* client, la_int64_t request) {
        Tar& tar = *static_cast<Tar*>(client);
        if (tar.filter_ != Filter::None || request <= 0 || !tar.input_.empty()) return 0;
        return static_cast<la_int64_t>(tar.source_.Skip(static_cast<uint64_t>(request)));
    }

    // Throws what a callback kept, if anything.
    void ThrowPending() {
        if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
    }

private:
    // The next raw bytes; empty at the end.
    std::string_view Raw() {
        if (!input_.empty()) return std::exchange(input_, std::string_view());
        if (ended_) return {};
        const std::string_view bytes = source_.Read();
        ended_ = bytes.empty();
        return bytes;
    }

    // Fills input_ when it is empty; false at the end of the raw data.
    bool MoreInput() {
        if (input_.empty() && !ended_) {
            input_ = source_.Read();
            ended_ = input_.empty();
        }
        return !input_.empty();
    }

    [[noreturn]] void Damaged(const std::string& what) {
        FailArchive(name_, "the " + std::string(filter_ == Filter::Gzip ? "gzip" : "xz") +
                               " compression is damaged: " + what);
    }

    std::string_view Inflate() {
        while (!done_) {
            if (betweenMembers_) {
                NextMember();
                continue;
            }
            // zlib may hold output that did not fit the last time.
            const bool more = MoreInput();
            if (!more && !outputFull_) Damaged("the data ends early (truncated)");
            gzip_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input_.data()));
            gzip_.avail_in = static_cast<uInt>(std::min<std::size_t>(input_.size(), UINT32_MAX));
            gzip_.next_out = reinterpret_cast<Bytef*>(output_.get());
            gzip_.avail_out = static_cast<uInt>(kOutput);
            const int result = inflate(&gzip_, Z_NO_FLUSH);
            input_.remove_prefix(static_cast<std::size_t>(reinterpret_cast<const char*>(gzip_.next_in) - input_.data()));
            const std::size_t produced = kOutput - gzip_.avail_out;
            outputFull_ = gzip_.avail_out == 0;
            if (result == Z_STREAM_END) {
                betweenMembers_ = true;
            } else if (result == Z_BUF_ERROR) {
                if (!more && produced == 0) Damaged("the data ends early (truncated)");
            } else if (result != Z_OK) {
                Damaged(result == Z_MEM_ERROR ? "out of memory" : OneLine(gzip_.msg));
            }
            if (produced > 0) return {output_.get(), produced};
        }
        return {};
    }

    // After a gzip member: another member, or the end. Like gzip, ignores
    // zeros, and anything else with a note.
    void NextMember() {
        if (!MoreInput()) {
            done_ = true;
            return;
        }
        if (static_cast<unsigned char>(input_[0]) == kGzipMagic[0]) {
            // The second byte may be in the next block.
            input_.remove_prefix(1);
            const bool magic = MoreInput() && static_cast<unsigned char>(input_[0]) == kGzipMagic[1];
            if (!magic) {
                garbage_ = true;
                done_ = true;
                return;
            }
            inflateReset(&gzip_);
            Bytef first = kGzipMagic[0];
            gzip_.next_in = &first;
            gzip_.avail_in = 1;
            gzip_.next_out = reinterpret_cast<Bytef*>(output_.get());
            gzip_.avail_out = static_cast<uInt>(kOutput);
            if (inflate(&gzip_, Z_NO_FLUSH) != Z_OK) Damaged(OneLine(gzip_.msg));
            betweenMembers_ = false;
            return;
        }
        // Zeros to the end are padding; anything else is not gzip data.
        while (MoreInput()) {
            if (std::any_of(input_.begin(), input_.end(), [](char c) { return c != 0; })) {
                garbage_ = true;
                done_ = true;
                return;
            }
            input_ = {};
        }
        done_ = true;
    }

    std::string_view Unxz() {
        while (!done_) {
            MoreInput();
            xz_.next_in = reinterpret_cast<const uint8_t*>(input_.data());
            xz_.avail_in = input_.size();
            xz_.next_out = reinterpret_cast<uint8_t*>(output_.get());
            xz_.avail_out = kOutput;
            const lzma_ret result = lzma_code(&xz_, ended_ ? LZMA_FINISH : LZMA_RUN);
            input_.remove_prefix(static_cast<std::size_t>(reinterpret_cast<const char*>(xz_.next_in) - input_.data()));
            const std::size_t produced = kOutput - xz_.avail_out;
            switch (result) {
                case LZMA_OK: break;
                case LZMA_STREAM_END: done_ = true; break;
                case LZMA_BUF_ERROR: Damaged("the data ends early (truncated)");
                case LZMA_MEM_ERROR: Damaged("out of memory");
                case LZMA_MEMLIMIT_ERROR: Damaged("it needs more than 1 GiB of memory to decompress");
                case LZMA_OPTIONS_ERROR: Damaged("unsupported options");
                case LZMA_DATA_ERROR: Damaged("the data is corrupt");
                case LZMA_FORMAT_ERROR: Damaged("data that is not xz follows the stream");
                default: Damaged("error " + std::to_string(static_cast<int>(result)));
            }
            if (produced > 0) return {output_.get(), produced};
        }
        return {};
    }

    ArchiveSource& source_;
    const std::string& name_;
    Filter filter_ = Filter::None;
    std::string start_;         // the first bytes, when they came in pieces
    std::string_view input_;    // raw bytes not yet used
    bool ended_ = false;        // the raw data is at its end
    bool done_ = false;         // the compressed data is at its end
    bool first_ = true;
    std::unique_ptr<char[]> output_;
    z_stream gzip_{};
    bool gzipOpen_ = false;
    bool betweenMembers_ = false;
    bool outputFull_ = false;
    bool garbage_ = false;
    lzma_stream xz_ = LZMA_STREAM_INIT;
    bool xzOpen_ = false;
    std::exception_ptr pending_;
};

// ---- ArchiveReader ----

ArchiveReader::ArchiveReader(ArchiveSource& source, const std::string& name)
    : name_(name), tar_(std::make_unique<Tar>(source, name_)), archive_(archive_read_new()), size_(source.KnownSize()) {
    if (archive_ == nullptr) throw std::bad_alloc();
    archive_read_support_format_tar(archive_);
    const Filter filter = tar_->Compression();
    budgetKnown_ = source.SizeKnown();
    budget_ = filter == Filter::None ? size_ : size_ * (filter == Filter::Gzip ? kGzipRatio : kXzRatio);
    growing_ = filter != Filter::None || !budgetKnown_;
    const int opened = archive_read_open2(archive_, tar_.get(), nullptr, &Tar::ReadCallback,
                                          &Tar::SkipCallback, nullptr);
    if (opened == ARCHIVE_OK) return;
    // The destructor does not run for a constructor that throws.
    const std::string error = OneLine(archive_error_string(archive_));
    archive_read_free(archive_);
    tar_->ThrowPending();
    FailArchive(name_, std::string(kNotArchive) + ": " + error);
}

ArchiveReader::~ArchiveReader() { archive_read_free(archive_); }

void ArchiveReader::FailMember(const std::string& text) const { FailArchive(name_, "member " + member_ + ": " + text); }

bool ArchiveReader::Next(Member& member) {
    archive_entry* entry = nullptr;
    const int result = archive_read_next_header(archive_, &entry);
    tar_->ThrowPending();
    if (result == ARCHIVE_EOF) return false;
    if (result < ARCHIVE_WARN) {
        FailArchive(name_, (member_.empty() ? std::string(kNotArchive)
                                            : "damaged or truncated archive after member " + member_) +
                               ": " + OneLine(archive_error_string(archive_)));
    }
    const char* path = archive_entry_pathname(entry);
    member.Path = NormalPath(path != nullptr ? path : "");
    member.Regular = archive_entry_filetype(entry) == AE_IFREG && archive_entry_hardlink(entry) == nullptr;
    member.Size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
    member_ = member.Path;
    return true;
}

std::string ArchiveReader::Finish() { return tar_->Finish(); }

void ArchiveReader::Claim(uint64_t bytes, int64_t declared) {
    if (budgetKnown_ && bytes > budget_) {
        FailMember("the index implies " + std::to_string(bytes) + " bytes, more than this " + std::to_string(size_) +
                   "-byte archive can hold");
    }
    if (declared >= 0 && static_cast<uint64_t>(declared) != bytes) {
        FailMember("has " + std::to_string(declared) + " bytes; the index implies " + std::to_string(bytes));
    }
    if (budgetKnown_) budget_ -= bytes;
}

bool ArchiveReader::NextBlock(const char*& data, std::size_t& length, uint64_t& offset) {
    const void* block = nullptr;
    la_int64_t at = 0;
    const int result = archive_read_data_block(archive_, &block, &length, &at);
    tar_->ThrowPending();
    if (result == ARCHIVE_EOF) return false;
    if (result < ARCHIVE_WARN) FailMember("cannot be read: " + OneLine(archive_error_string(archive_)));
    if (at < 0) FailMember("cannot be read: its blocks are out of order");
    data = static_cast<const char*>(block);
    offset = static_cast<uint64_t>(at);
    return true;
}

}  // namespace iicheck
