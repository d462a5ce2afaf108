#include "input_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tool_error.h"

bool is_stdio(const std::string &path) { return path == "-"; }

static std::string display_name(const std::string &path) { return is_stdio(path) ? "<stdin>" : path; }

static int open_input_fd(const std::string &path) {
    if (is_stdio(path))
        return STDIN_FILENO;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw ToolError(path + ": cannot open: " + std::strerror(errno));
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        close(fd);
        throw ToolError(path + ": is a directory");
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
            throw ToolError(display_name(path) + ": cannot read: " + std::strerror(error));
        }
        if (n == 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    if (fd != STDIN_FILENO)
        close(fd);
    return bytes;
}

void ensure_distinct(const std::string &input, const std::string &output) {
    if (is_stdio(input) || is_stdio(output))
        return;
    struct stat a, b;
    if (stat(input.c_str(), &a) == 0 && stat(output.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
        a.st_ino == b.st_ino)
        throw ToolError(output + ": output would overwrite the input");
}

int file_mode(const std::string &path) {
    struct stat info;
    return !is_stdio(path) && stat(path.c_str(), &info) == 0 ? (int)(info.st_mode & 0777) : -1;
}
