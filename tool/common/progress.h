// Progress of a long run for a person watching it: one line on standard
// error (items done of all, bytes, rate, time left), redrawn in place a few
// times a second and cleared when the run ends. Nothing at all is drawn when
// standard error is not a terminal, so logs and pipes see no trace of it.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tool {

// The line itself: `noun` names the items ("titles").
std::string progressLine(const char* noun, uint64_t done, uint64_t total, uint64_t bytes,
                         uint64_t totalBytes, double seconds);

class Progress {
public:
    Progress(const char* noun, uint64_t totalItems, uint64_t totalBytes);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // From any thread: items finished, and their bytes. While items are
    // under way, what the process has read stands for their bytes where
    // the system tells it.
    void add(uint64_t items, uint64_t bytes);
    // Runs `print` with the line taken off the terminal, so that what it
    // writes there starts at the margin and is not blanked by the next
    // redraw; the line comes back at that redraw. Not alongside finish().
    void clearFor(const std::function<void()>& print);
    // Stops redrawing and clears the line; also done on destruction.
    void finish();

private:
    void draw(bool clear);

    const char* noun_;
    uint64_t totalItems_;
    uint64_t totalBytes_;
    std::atomic<uint64_t> items_{0};
    std::atomic<uint64_t> bytes_{0};
    double start_ = 0;
    int64_t readAtStart_ = -1;
    size_t drawn_ = 0;  // width of the line on the terminal
    bool active_ = false;
    bool stop_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
};

}  // namespace tool
