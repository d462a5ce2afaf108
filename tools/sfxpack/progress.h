#pragma once
#include <atomic>
#include <chrono>
#include <optional>
#include <cstdint>
#include <string>
#include <thread>

// A one-line progress bar on standard error, shown only for inputs of
// several MB when standard error is a terminal: the file's name, a bar,
// bytes done and in all, and the rate, cut to the terminal's width at each
// draw so that it never wraps.
class Progress {
  public:
    Progress(const std::string &path, uint64_t total, bool quiet);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void update(uint64_t done);
    // Follows the growing size of a regular file until the Progress ends.
    void watch_file_size(int fd);

  private:
    void draw(uint64_t done, int percent);

    std::string name_;
    uint64_t total_;
    bool enabled_;
    int shown_percent_ = -1;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_, drawn_;
    std::atomic<bool> stop_{false};
    std::thread watcher_;
};

// A bar made at the first report, once the total is known: for the
// libraries' progress calls.
class LateProgress {
  public:
    LateProgress(std::string name, bool quiet) : name_(std::move(name)), quiet_(quiet) {}
    void update(uint64_t done, uint64_t total) {
        if (!bar_)
            bar_.emplace(name_, total, quiet_);
        bar_->update(done);
    }
    // As a library's progress call.
    auto call() {
        return [this](uint64_t done, uint64_t total) { update(done, total); };
    }

  private:
    std::string name_;
    bool quiet_;
    std::optional<Progress> bar_;
};
