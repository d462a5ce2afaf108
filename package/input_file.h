#pragma once
#include <cstdint>
#include <string>
#include <vector>

// "-" names standard input throughout.
bool is_stdio(const std::string &path);

// The whole file; a clear PackageError when it cannot be read.
std::vector<uint8_t> read_whole_file(const std::string &path);

// An input read where it lies, a block at a time, rather than into memory:
// a regular file as it is, anything else (standard input, a pipe) first
// copied to an unlinked temporary file. A clear PackageError when it cannot be
// opened or read.
class InputFile {
  public:
    explicit InputFile(const std::string &path);
    ~InputFile();
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    int fd() const { return fd_; }
    uint64_t size() const { return size_; }
    // Up to 'size' bytes from 'offset', fewer where the file ends.
    std::vector<uint8_t> read_at(uint64_t offset, size_t size) const;
    // The same into 'buffer': the count read.
    size_t read_at(uint64_t offset, void *buffer, size_t size) const;

  private:
    std::string name_;
    int fd_ = -1;
    bool owned_ = false;
    uint64_t size_ = 0;
};

// Refuses an output path that names the same file as an input.
void ensure_distinct(const std::string &input, const std::string &output);

// The permission bits of an input file, for an output made from it; -1 for
// standard input.
int file_mode(const std::string &path);
