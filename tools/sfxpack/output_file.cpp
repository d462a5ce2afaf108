#include "output_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "package/input_file.h"
#include "signal_cleanup.h"
#include "tool_error.h"

OutputFile::OutputFile(const std::string &path, const OutputOptions &options) : path_(path), target_(path) {
    if (is_stdio(path)) {
        if (!options.force && isatty(STDOUT_FILENO))
            throw ToolError("<stdout>: is a terminal; use -f to write binary data to it");
        fd_ = STDOUT_FILENO;
        return;
    }
    struct stat info;
    bool exists = stat(path.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode))
        throw ToolError(path + ": is a directory");
    // A FIFO or a character device (/dev/null, a terminal) is a destination,
    // not a file to replace; other special files are written through only
    // when forced.
    if (exists && (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode) || (!S_ISREG(info.st_mode) && options.force))) {
        fd_ = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0)
            fail("cannot open output");
        write_through_ = true;
        if (!options.force && isatty(fd_)) {
            close(fd_);
            throw ToolError(path + ": is a terminal; use -f to write binary data to it");
        }
        return;
    }
    struct stat link;
    if ((exists || lstat(path.c_str(), &link) == 0) && !options.force)
        throw ToolError(path + ": exists; use -f to overwrite");
    if (char *resolved = exists ? realpath(path.c_str(), nullptr) : nullptr) {
        target_ = resolved; // replace what a symbolic link names, not the link
        std::free(resolved);
    }
    open_temporary(exists ? &info : nullptr, options);
}

void OutputFile::open_temporary(const struct stat *replaced, const OutputOptions &options) {
    temp_path_ = target_ + ".XXXXXX";
    {
        SignalsHeld held; // a signal between the create and the arming would leave the file
        fd_ = mkstemp(temp_path_.data());
        if (fd_ >= 0)
            remove_on_signal(temp_path_);
    }
    if (fd_ < 0) {
        temp_path_.clear();
        fail("cannot create output");
    }
    mode_t mode;
    if (replaced) {
        mode = replaced->st_mode & 0777;
        if (fchown(fd_, replaced->st_uid, replaced->st_gid) != 0) {
            // Only root may give a file away; the owner is then ours.
        }
        keep_links_ = replaced->st_nlink > 1;
    } else {
        mode_t mask = umask(0); // mkstemp makes the file private; give it what a plain create would
        umask(mask);
        mode = (options.mode >= 0 ? (mode_t)options.mode & 0777 : 0666) & ~mask;
    }
    fchmod(fd_, mode);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0 && fd_ != STDOUT_FILENO)
        close(fd_);
    if (!temp_path_.empty()) {
        unlink(temp_path_.c_str());
        disarm_signal_cleanup();
    }
}

void OutputFile::fail(const char *what) const {
    throw ToolError((is_stdio(path_) ? std::string("<stdout>") : path_) + ": " + what + ": " + std::strerror(errno));
}

static bool write_all(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes = bytes.subspan((size_t)n);
    }
    return true;
}

void OutputFile::write(std::span<const uint8_t> bytes) {
    if (!write_all(fd_, bytes))
        fail("cannot write output");
}

// The complete output over the old contents of a file with other hard links,
// which a rename would leave behind.
void OutputFile::copy_into_target() {
    int target = open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    bool ok = target >= 0 && lseek(fd_, 0, SEEK_SET) == 0;
    uint8_t chunk[1 << 16];
    for (ssize_t n = 1; ok && n != 0;) {
        n = read(fd_, chunk, sizeof chunk);
        ok = n >= 0 ? write_all(target, {chunk, (size_t)n}) : errno == EINTR;
    }
    int error = errno;
    if (target >= 0 && close(target) != 0 && ok) {
        ok = false;
        error = errno;
    }
    errno = error;
    if (!ok)
        fail("cannot write output");
}

void OutputFile::commit() {
    if (is_stdio(path_))
        return;
    if (keep_links_)
        copy_into_target();
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0)
        fail("cannot write output");
    if (write_through_)
        return;
    if (keep_links_ ? unlink(temp_path_.c_str()) != 0 : rename(temp_path_.c_str(), target_.c_str()) != 0)
        fail("cannot create output");
    temp_path_.clear();
    disarm_signal_cleanup();
}
