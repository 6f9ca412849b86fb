#pragma once
// The cancel behind a reader's CancelRead and ResumeReads, watched by every
// wait of its reads, so that a read waiting on a device that sends nothing
// ends at once. Portable; any thread.

#include <chrono>
#include <condition_variable>
#include <mutex>

class ReadCancel {
public:
    using Clock = std::chrono::steady_clock;

    void Cancel() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            cancelled_ = true;
        }
        wake_.notify_all();
    }
    void Resume() {
        std::lock_guard<std::mutex> hold(lock_);
        cancelled_ = false;
    }

    // Waits until `until`, or until `done()` holds; false when cancelled
    // first, which wins over `done`. `done` is read under Lock(): whatever
    // makes it true does so under Lock() too, then calls Notify().
    template <typename Done>
    bool Wait(Clock::time_point until, Done done) {
        std::unique_lock<std::mutex> hold(lock_);
        wake_.wait_until(hold, until, [&] { return cancelled_ || done(); });
        return !cancelled_;
    }
    // Waits until `until`; false, at once, when cancelled.
    bool Pause(Clock::time_point until) {
        return Wait(until, [] { return false; });
    }

    std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(lock_); }
    void Notify() { wake_.notify_all(); }

private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool cancelled_ = false;
};
