#include "output_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tool_error.h"

static std::string errno_text() { return std::strerror(errno); }

OutputFile::OutputFile(const std::string &path) : path_(path), temp_path_(path + ".XXXXXX") {
    fd_ = mkstemp(temp_path_.data());
    if (fd_ < 0)
        throw ToolError(path + ": cannot create output: " + errno_text());
    // mkstemp makes the file private; give it the permissions a plain create would.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0)
        close(fd_);
    if (!temp_path_.empty())
        unlink(temp_path_.c_str());
}

void OutputFile::commit() {
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0)
        throw ToolError(path_ + ": cannot write output: " + errno_text());
    if (rename(temp_path_.c_str(), path_.c_str()) != 0)
        throw ToolError(path_ + ": cannot create output: " + errno_text());
    temp_path_.clear();
}
