#include "tool/common/progress.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace tool {
namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string size(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        ++u;
    }
    char s[32];
    std::snprintf(s, sizeof s, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return s;
}

// Bytes the process has read so far, all threads together, or -1 where the
// system does not say. A content's progress shows while it is read, not
// only once it is done: a run of one 2 GiB content would otherwise stand
// still at 0 until its end.
int64_t bytesRead() {
    FILE* f = std::fopen("/proc/self/io", "r");
    if (!f) return -1;
    long long rchar = -1;
    char key[32];
    long long value = 0;
    while (std::fscanf(f, "%31[^:]: %lld\n", key, &value) == 2)
        if (std::strcmp(key, "rchar") == 0) rchar = value;
    std::fclose(f);
    return rchar;
}

}  // namespace

std::string progressLine(const char* noun, uint64_t done, uint64_t total, uint64_t bytes,
                         uint64_t totalBytes, double seconds) {
    char line[160];
    int n = std::snprintf(line, sizeof line, "%llu of %llu %s, %s of %s",
                          static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                          noun, size(static_cast<double>(bytes)).c_str(),
                          size(static_cast<double>(totalBytes)).c_str());
    std::string s(line, static_cast<size_t>(n));
    // Rate and time left only once there is something to go by.
    if (seconds >= 0.5 && bytes > 0) {
        const double rate = static_cast<double>(bytes) / seconds;
        const double left = totalBytes > bytes ? static_cast<double>(totalBytes - bytes) / rate : 0;
        const auto l = static_cast<unsigned long long>(left + 0.5);
        n = std::snprintf(line, sizeof line, ", %s/s, %llu:%02llu:%02llu left", size(rate).c_str(),
                          l / 3600, l / 60 % 60, l % 60);
        s.append(line, static_cast<size_t>(n));
    }
    return s;
}

Progress::Progress(const char* noun, uint64_t totalItems, uint64_t totalBytes)
    : noun_(noun), totalItems_(totalItems), totalBytes_(totalBytes), start_(now()) {
    if (!isatty(STDERR_FILENO)) return;
    active_ = true;
    readAtStart_ = bytesRead();
    try {
        thread_ = std::thread([this] {
            std::unique_lock<std::mutex> hold(mutex_);
            while (!stop_) {
                draw(false);
                wake_.wait_for(hold, std::chrono::milliseconds(200));
            }
        });
    } catch (...) {
        active_ = false;  // no thread to be had: a run without progress
    }
}

Progress::~Progress() { finish(); }

void Progress::add(uint64_t items, uint64_t bytes) {
    items_ += items;
    bytes_ += bytes;
}

void Progress::clearFor(const std::function<void()>& print) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (active_ && drawn_ > 0) draw(true);
    print();
}

void Progress::finish() {
    if (!active_) return;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    draw(true);
    active_ = false;
}

void Progress::draw(bool clear) {
    uint64_t bytes = bytes_.load();
    if (const int64_t read = bytesRead(); readAtStart_ >= 0 && read >= readAtStart_)
        bytes = std::max(bytes, std::min(totalBytes_, static_cast<uint64_t>(read - readAtStart_)));
    std::string line = clear ? std::string()
                             : progressLine(noun_, items_.load(), totalItems_, bytes, totalBytes_, now() - start_);
    const size_t width = line.size();
    // Blanks over what is left of the longer line drawn before.
    if (drawn_ > width) line.append(drawn_ - width, ' ');
    line.insert(0, "\r");
    if (clear) line += '\r';
    drawn_ = width;
    (void)!write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace tool
