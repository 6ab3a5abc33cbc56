// A queue between threads that holds at most a few items: a producer waits
// while it is full, a consumer while it is empty. Nothing pushed before
// finish() is lost: the consumer takes it all, then hears that no more comes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

namespace vt {

template <typename T>
class BoundedQueue {
public:
    explicit BoundedQueue(std::size_t capacity) : capacity_(capacity ? capacity : 1) {}
    BoundedQueue(const BoundedQueue&) = delete;
    BoundedQueue& operator=(const BoundedQueue&) = delete;

    // Waits while the queue is full. False, and the item dropped, once the
    // consumer has closed it.
    bool push(T item) {
        std::unique_lock<std::mutex> lock(m_);
        notFull_.wait(lock, [&] { return items_.size() < capacity_ || closed_; });
        if (closed_) return false;
        items_.push_back(std::move(item));
        notEmpty_.notify_one();
        return true;
    }

    enum class Got { Item, Waited, Done };
    // Takes the next item, waiting at most `wait` for one: Waited when none
    // came, Done when the producers have finished and all is taken.
    Got popFor(T& out, std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(m_);
        if (!notEmpty_.wait_for(lock, wait, [&] { return !items_.empty() || finished_; })) return Got::Waited;
        return take(out) ? Got::Item : Got::Done;
    }
    // Takes the next item, waiting for one; false when the producers have
    // finished and all is taken.
    bool pop(T& out) {
        std::unique_lock<std::mutex> lock(m_);
        notEmpty_.wait(lock, [&] { return !items_.empty() || finished_; });
        return take(out);
    }

    // The producers push no more.
    void finish() {
        std::lock_guard<std::mutex> lock(m_);
        finished_ = true;
        notEmpty_.notify_all();
    }
    // The consumer takes no more: producers waiting to push return at once.
    void close() {
        std::lock_guard<std::mutex> lock(m_);
        closed_ = true;
        notFull_.notify_all();
    }

private:
    bool take(T& out) {
        if (items_.empty()) return false;
        out = std::move(items_.front());
        items_.pop_front();
        notFull_.notify_one();
        return true;
    }

    const std::size_t capacity_;
    std::mutex m_;
    std::condition_variable notEmpty_, notFull_;
    std::deque<T> items_;
    bool finished_ = false, closed_ = false;
};

}  // namespace vt
