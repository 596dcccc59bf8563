// Where iicheck's results go, and that nothing is lost on the way: stdout,
// whose every write is checked, and the file of --export-result, which is
// written whole or not at all and never replaces one of the check's inputs.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace iicheck {

// A result that could not be written: exit code 1.
class OutputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Flushes stdout; OutputError when it, or any write before it, failed (a
// full disk, a closed pipe with SIGPIPE ignored).
void CheckStdout();

// Whether two paths name the same file (device and inode, through symbolic
// links, so a hard link is caught too); false when either does not exist.
bool SameFile(const std::string& a, const std::string& b);

// The --export-result file. Open creates a temporary file beside it (beside
// the file a symbolic link leads to), so that a file that cannot be written
// stops the check before it runs; Commit writes the text there, syncs it
// and renames it over the file, so that a failed or interrupted run leaves
// the previous file as it was, never a truncated one. A device or a pipe
// (/dev/stdout) is written directly.
class ResultFile {
public:
    ResultFile() = default;
    ResultFile(const ResultFile&) = delete;
    ResultFile& operator=(const ResultFile&) = delete;
    ~ResultFile();  // removes the temporary file unless committed

    // InputError when the file cannot be written (a missing folder, a
    // folder by that name, no permission).
    void Open(const std::string& path);
    bool IsOpen() const { return fd_ >= 0; }
    // OutputError when the text cannot be written; the temporary file is
    // removed either way, and the file is closed.
    void Commit(std::string_view text);

private:
    void Discard();

    std::string path_;       // as given, for messages
    std::string target_;     // what the temporary file replaces
    std::string temporary_;  // empty when written directly
    int fd_ = -1;
};

}  // namespace iicheck
