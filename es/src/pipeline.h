// A small closable queue for handing work between the reading, encrypting
// and writing threads of the content engines.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

namespace es_detail {

template <class T>
class StageQueue {
public:
    // False once the queue is closed; the item is then dropped.
    bool push(T item) {
        {
            std::lock_guard<std::mutex> lock(m_);
            if (closed_) return false;
            items_.push_back(std::move(item));
        }
        cv_.notify_one();
        return true;
    }

    // Waits for an item; false when the queue is closed and empty.
    bool pop(T& item) {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return closed_ || !items_.empty(); });
        if (items_.empty()) return false;
        item = std::move(items_.front());
        items_.pop_front();
        return true;
    }

    // Wakes every waiter; items still queued can be popped, nothing more
    // is accepted.
    void close() {
        {
            std::lock_guard<std::mutex> lock(m_);
            closed_ = true;
        }
        cv_.notify_all();
    }

    // Closes and drops what is queued.
    void abort() {
        {
            std::lock_guard<std::mutex> lock(m_);
            closed_ = true;
            items_.clear();
        }
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<T> items_;
    bool closed_ = false;
};

}  // namespace es_detail
