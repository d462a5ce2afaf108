#pragma once
#include <cstdint>
#include <span>
#include <string>

// An output that appears under its final name only when complete: bytes go
// to a temporary file beside the target, renamed over it by commit().
// Destroying an uncommitted output removes the temporary file. "-" writes
// straight to standard output.
class OutputFile {
  public:
    explicit OutputFile(const std::string &path);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    int fd() const { return fd_; }
    void write(std::span<const uint8_t> bytes);
    void commit();

  private:
    std::string path_;
    std::string temp_path_;
    int fd_ = -1;
};
