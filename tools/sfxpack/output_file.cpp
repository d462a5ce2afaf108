#include "output_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "input_file.h"
#include "tool_error.h"

static std::string errno_text() { return std::strerror(errno); }

OutputFile::OutputFile(const std::string &path) : path_(path) {
    if (is_stdio(path)) {
        fd_ = STDOUT_FILENO;
        return;
    }
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        throw ToolError(path + ": is a directory");
    temp_path_ = path + ".XXXXXX";
    fd_ = mkstemp(temp_path_.data());
    if (fd_ < 0) {
        temp_path_.clear();
        throw ToolError(path + ": cannot create output: " + errno_text());
    }
    // mkstemp makes the file private; give it the permissions a plain create would.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
}

OutputFile::~OutputFile() {
    if (temp_path_.empty())
        return;
    if (fd_ >= 0)
        close(fd_);
    unlink(temp_path_.c_str());
}

void OutputFile::write(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw ToolError((is_stdio(path_) ? std::string("<stdout>") : path_) +
                            ": cannot write output: " + errno_text());
        bytes = bytes.subspan((size_t)n);
    }
}

void OutputFile::commit() {
    if (is_stdio(path_))
        return;
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0)
        throw ToolError(path_ + ": cannot write output: " + errno_text());
    if (rename(temp_path_.c_str(), path_.c_str()) != 0)
        throw ToolError(path_ + ": cannot create output: " + errno_text());
    temp_path_.clear();
}
