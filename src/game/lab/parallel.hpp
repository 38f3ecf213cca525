// Splitting native work over threads. Work items carry their own random streams, so the
// result of a run does not depend on how many threads share it or which one ran an item.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace nonagame {

// Hands out the ranges [begin, end) of items 0..total in chunks, to any number of threads,
// until the work is done or stop() is called.
class ChunkQueue {
public:
    ChunkQueue(std::int64_t total, std::int64_t chunk) : total_(total), chunk_(std::max<std::int64_t>(chunk, 1)) {}

    bool take(std::int64_t& begin, std::int64_t& end) {
        if (stopped_.load(std::memory_order_relaxed)) return false;
        begin = next_.fetch_add(chunk_, std::memory_order_relaxed);
        if (begin >= total_) return false;
        end = std::min(begin + chunk_, total_);
        return true;
    }
    void stop() { stopped_.store(true, std::memory_order_relaxed); }
    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

private:
    std::int64_t total_;
    std::int64_t chunk_;
    std::atomic<std::int64_t> next_{0};
    std::atomic<bool> stopped_{false};
};

// Runs body(worker) for worker 0..workers-1: worker 0 on the calling thread, the others on
// threads started for this call, and returns when all have finished. The first exception
// thrown by any worker is rethrown here, after every thread has been joined. When a thread
// cannot be started, its share runs on the calling thread once the others have been started.
template <class Body>
void run_workers(int workers, Body&& body) {
    std::vector<std::thread> threads;
    std::exception_ptr failure;
    std::mutex failure_mutex;
    auto run_catching = [&](int worker) {  // keeps the first exception for the caller
        try {
            body(worker);
        } catch (...) {
            const std::lock_guard<std::mutex> lock(failure_mutex);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<int> unstarted;
    if (workers > 1) {
        // Reserved first, so that nothing below allocates once a thread runs.
        threads.reserve(static_cast<std::size_t>(workers - 1));
        unstarted.reserve(static_cast<std::size_t>(workers - 1));
        for (int w = 1; w < workers; ++w) {
            try {
                threads.emplace_back(run_catching, w);
            } catch (...) {
                unstarted.push_back(w);
            }
        }
    }
    run_catching(0);
    for (const int w : unstarted) run_catching(w);
    for (auto& thread : threads) thread.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace nonagame
