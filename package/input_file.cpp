#include "package/input_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "package/package_error.h"

bool is_stdio(const std::string &path) { return path == "-"; }

static std::string display_name(const std::string &path) { return is_stdio(path) ? "<stdin>" : path; }

static int open_input_fd(const std::string &path) {
    if (is_stdio(path))
        return STDIN_FILENO;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw PackageError(path + ": cannot open: " + std::strerror(errno));
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        close(fd);
        throw PackageError(path + ": is a directory");
    }
    return fd;
}

std::vector<uint8_t> read_whole_file(const std::string &path) {
    int fd = open_input_fd(path);
    std::vector<uint8_t> bytes;
    uint8_t chunk[1 << 16];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int error = errno;
            if (fd != STDIN_FILENO)
                close(fd);
            throw PackageError(display_name(path) + ": cannot read: " + std::strerror(error));
        }
        if (n == 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    if (fd != STDIN_FILENO)
        close(fd);
    return bytes;
}

[[noreturn]] static void cannot_read(const std::string &name, int error) {
    throw PackageError(name + ": cannot read: " + std::strerror(error));
}

InputFile::InputFile(const std::string &path) : name_(display_name(path)) {
    int fd = open_input_fd(path);
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        fd_ = fd;
        owned_ = fd != STDIN_FILENO;
        size_ = (uint64_t)info.st_size;
        return;
    }
    // Copy what cannot be read in place.
    const char *folder = std::getenv("TMPDIR");
    std::string temp = std::string(folder && *folder ? folder : "/tmp") + "/sfxpack-input-XXXXXX";
    fd_ = mkstemp(temp.data());
    if (fd_ < 0) {
        int error = errno;
        if (fd != STDIN_FILENO)
            close(fd);
        throw PackageError(name_ + ": cannot make a temporary copy: " + std::strerror(error));
    }
    owned_ = true;
    unlink(temp.c_str());
    uint8_t chunk[1 << 16];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int error = errno;
            if (fd != STDIN_FILENO)
                close(fd);
            if (n < 0)
                cannot_read(name_, error);
            break;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(fd_, chunk + done, (size_t)(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                throw PackageError(name_ + ": cannot make a temporary copy: " + std::strerror(errno));
            done += w;
        }
        size_ += (uint64_t)n;
    }
}

InputFile::~InputFile() {
    if (owned_)
        close(fd_);
}

std::vector<uint8_t> InputFile::read_at(uint64_t offset, size_t size) const {
    std::vector<uint8_t> bytes(offset < size_ ? std::min<uint64_t>(size, size_ - offset) : 0);
    bytes.resize(read_at(offset, bytes.data(), bytes.size()));
    return bytes;
}

size_t InputFile::read_at(uint64_t offset, void *buffer, size_t size) const {
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd_, static_cast<uint8_t *>(buffer) + done, size - done, (off_t)(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            cannot_read(name_, errno);
        if (n == 0)
            break;
        done += (size_t)n;
    }
    return done;
}

void ensure_distinct(const std::string &input, const std::string &output) {
    if (is_stdio(input) || is_stdio(output))
        return;
    struct stat a, b;
    if (stat(input.c_str(), &a) == 0 && stat(output.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
        a.st_ino == b.st_ino)
        throw PackageError(output + ": output would overwrite the input");
}

int file_mode(const std::string &path) {
    struct stat info;
    return !is_stdio(path) && stat(path.c_str(), &info) == 0 ? (int)(info.st_mode & 0777) : -1;
}
