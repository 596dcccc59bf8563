#include "cli/Output.hpp"

#include "model/ExplicitModel.hpp"
#include "support/Text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace iicheck {

void CheckStdout() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        const int error = errno;
        throw OutputError(std::string("cannot write the output to stdout") +
                          (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
    }
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat first {}, second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

ResultFile::~ResultFile() { Discard(); }

void ResultFile::Open(const std::string& path) {
    path_ = path;
    auto refuse = [&](int error) {
        throw InputError(Printable(path) + ": cannot write the result (--export-result): " + std::strerror(error));
    };
    // A symbolic link stays a link: the file it leads to is replaced.
    std::error_code failed;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(path, failed);
    target_ = failed || resolved.empty() ? path : resolved.string();
    struct stat status {};
    mode_t mode = 0;
    if (::stat(target_.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) refuse(EISDIR);
        // A file that may not be written is not replaced either.
        if (::access(target_.c_str(), W_OK) != 0) refuse(errno);
        if (!S_ISREG(status.st_mode)) {
            fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd_ < 0) refuse(errno);
            return;
        }
        mode = status.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    const std::filesystem::path target(target_);
    const std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";
    temporary_ = folder + "/." + target.filename().string() + ".XXXXXX";
    fd_ = ::mkstemp(temporary_.data());
    if (fd_ < 0) {
        const int error = errno;
        temporary_.clear();
        refuse(error);
    }
    ::fchmod(fd_, mode);
}

void ResultFile::Commit(std::string_view text) {
    auto fail = [&](int error) {
        Discard();
        throw OutputError(Printable(path_) + ": cannot write the result (--export-result): " + std::strerror(error));
    };
    for (std::size_t written = 0; written < text.size();) {
        const ssize_t count = ::write(fd_, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) fail(count < 0 ? errno : EIO);
        written += static_cast<std::size_t>(count);
    }
    if (!temporary_.empty() && ::fsync(fd_) != 0) fail(errno);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail(errno);
    if (!temporary_.empty() && std::rename(temporary_.c_str(), target_.c_str()) != 0) fail(errno);
    temporary_.clear();
}

void ResultFile::Discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
}

}  // namespace iicheck
