#include "progress.h"

#include <chrono>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr uint64_t MIN_TOTAL = 4u << 20;
constexpr int BAR_WIDTH = 40;
} // namespace

Progress::Progress(const char *label, uint64_t total, bool quiet)
    : label_(label), total_(total), enabled_(!quiet && total >= MIN_TOTAL && isatty(STDERR_FILENO)) {}

Progress::~Progress() {
    stop_ = true;
    if (watcher_.joinable())
        watcher_.join();
    if (enabled_ && shown_percent_ >= 0)
        std::fprintf(stderr, "\r%*s\r", BAR_WIDTH + 32, "");
}

void Progress::update(uint64_t done) {
    if (!enabled_)
        return;
    int percent = (int)(done >= total_ ? 100 : done * 100 / total_);
    if (percent == shown_percent_)
        return;
    shown_percent_ = percent;
    int filled = percent * BAR_WIDTH / 100;
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", label_, filled,
                 "########################################", BAR_WIDTH - filled, "", percent);
    std::fflush(stderr);
}

void Progress::watch_file_size(int fd) {
    struct stat info;
    if (!enabled_ || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return;
    watcher_ = std::thread([this, fd] {
        while (!stop_) {
            struct stat now;
            if (fstat(fd, &now) == 0)
                update((uint64_t)now.st_size);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
}
