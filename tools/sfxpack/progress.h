#pragma once
#include <atomic>
#include <cstdint>
#include <thread>

// A one-line progress bar on standard error, shown only for inputs of
// several MB when standard error is a terminal.
class Progress {
  public:
    Progress(const char *label, uint64_t total, bool quiet);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void update(uint64_t done);
    // Follows the growing size of a regular file until the Progress ends.
    void watch_file_size(int fd);

  private:
    const char *label_;
    uint64_t total_;
    bool enabled_;
    int shown_percent_ = -1;
    std::atomic<bool> stop_{false};
    std::thread watcher_;
};
