#include "progress.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint64_t MIN_TOTAL = 4u << 20;
constexpr auto REDRAW = std::chrono::milliseconds(250); // for the rate, when the percentage stands still

// Columns the line may use: all but the last, where some terminals wrap.
size_t line_room() {
    struct winsize size {};
    int columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    return (size_t)columns - 1;
}

std::string amount(double bytes) {
    const char *units[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    for (; bytes >= 1024 && unit < 3; unit++)
        bytes /= 1024;
    char text[32];
    std::snprintf(text, sizeof text, unit ? "%.1f %s" : "%.0f %s", bytes, units[unit]);
    return text;
}

} // namespace

Progress::Progress(const std::string &path, uint64_t total, bool quiet)
    : name_(path == "-" ? "<stdin>" : path.substr(path.find_last_of('/') + 1)), total_(total),
      enabled_(!quiet && total >= MIN_TOTAL && isatty(STDERR_FILENO)), start_(std::chrono::steady_clock::now()) {}

Progress::~Progress() {
    stop_ = true;
    if (watcher_.joinable())
        watcher_.join();
    if (shown_)
        std::fprintf(stderr, "\r\033[K");
}

void Progress::update(uint64_t done) {
    if (!enabled_)
        return;
    int percent = (int)(done >= total_ ? 100 : done * 100 / total_);
    if (percent != shown_percent_ || std::chrono::steady_clock::now() - drawn_ >= REDRAW)
        draw(done, percent);
}

// NAME [#####     ]  45% 12.3 MiB / 27.0 MiB 8.1 MiB/s: the numbers as far
// as they leave room for a name and a bar, the name (its end) in at most half
// of what is left, the bar in the rest.
void Progress::draw(uint64_t done, int percent) {
    shown_percent_ = percent;
    drawn_ = std::chrono::steady_clock::now();
    double seconds = std::chrono::duration<double>(drawn_ - start_).count();
    char percentage[8];
    std::snprintf(percentage, sizeof percentage, " %3d%%", percent);
    std::string sizes(percentage);
    sizes.append(" ").append(amount((double)done)).append(" / ").append(amount((double)total_));
    std::string rate = sizes + " " + amount(seconds > 0 ? (double)done / seconds : 0) + "/s";
    size_t room = line_room(), wanted = std::min<size_t>(name_.size(), 12) + 6; // for the name and a bar
    std::string tail = strlen(percentage) <= room ? percentage : "";
    for (const std::string &longer : {sizes, rate})
        if (longer.size() + wanted <= room)
            tail = longer;
    room -= tail.size();
    size_t name_room = room / 2;
    std::string line = name_.size() <= name_room ? name_ : "";
    if (name_.size() > name_room && name_room > 3)
        line.append("...").append(name_, name_.size() - (name_room - 3));
    room -= line.size();
    if (room >= 4) {
        size_t width = room - 3, filled = width * (size_t)percent / 100;
        line += " [" + std::string(filled, '#') + std::string(width - filled, ' ') + "]";
    }
    std::fprintf(stderr, "\r%s%s\033[K", line.c_str(), tail.c_str());
    std::fflush(stderr);
    shown_ = true;
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
