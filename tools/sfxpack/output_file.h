#pragma once
#include <string>

// An output that appears under its final name only when complete: bytes go
// to a temporary file beside the target, renamed over it by commit().
// Destroying an uncommitted output removes the temporary file.
class OutputFile {
  public:
    explicit OutputFile(const std::string &path);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    int fd() const { return fd_; }
    void commit();

  private:
    std::string path_;
    std::string temp_path_;
    int fd_ = -1;
};
