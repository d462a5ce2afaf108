#pragma once
#include <cstdint>
#include <span>
#include <string>

struct OutputOptions {
    bool force = false; // replace an existing file, write binary data to a terminal
    int mode = -1;      // a new file's permission bits (0777 for an executable), less the umask; -1: 0666
};

// An output written the way gzip writes one. A regular file appears under
// its final name only when complete: bytes go to a temporary file beside it,
// renamed over it by commit(); a replaced file keeps its permission bits, and
// one with other hard links is rewritten in place so the links stay. A FIFO
// or a device is written through, never replaced. An existing file needs
// 'force', and so does a terminal on standard output ("-").
// Destroying an uncommitted output removes the temporary file, and so does
// SIGINT, SIGTERM or SIGHUP meanwhile.
class OutputFile {
  public:
    OutputFile(const std::string &path, const OutputOptions &options);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    int fd() const { return fd_; }
    void write(std::span<const uint8_t> bytes);
    void commit();

  private:
    void open_temporary(const struct stat *replaced, const OutputOptions &options);
    void copy_into_target();
    [[noreturn]] void fail(const char *what) const;

    std::string path_;
    std::string target_; // the file a temporary replaces: path_ with symbolic links resolved
    std::string temp_path_;
    int fd_ = -1;
    bool write_through_ = false;
    bool keep_links_ = false;
};
