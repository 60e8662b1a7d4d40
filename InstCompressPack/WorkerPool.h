// A small pool of worker threads owned by one user. Submit returns a future
// that carries the task's result or its exception to the caller; the
// destructor drops the tasks not yet started and joins every worker.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace kq::pack {

class WorkerPool {
public:
    explicit WorkerPool(unsigned threads) {
        try {
            for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { Run(); });
        } catch (...) {
            Stop();
            throw;
        }
    }
    ~WorkerPool() { Stop(); }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    template <typename Task>
    auto Submit(Task task) -> std::future<decltype(task())> {
        using Result = decltype(task());
        auto packaged = std::make_shared<std::packaged_task<Result()>>(std::move(task));
        std::future<Result> result = packaged->get_future();
        {
            std::lock_guard lock(mutex_);
            queue_.emplace_back([packaged] { (*packaged)(); });
        }
        wake_.notify_one();
        return result;
    }

private:
    void Run() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (stopping_) return;
                task = std::move(queue_.front());
                queue_.pop_front();
            }
            task();  // a packaged task: its exception goes to its future
        }
    }

    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            queue_.clear();
        }
        wake_.notify_all();
        for (std::thread& worker : workers_) worker.join();
        workers_.clear();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace kq::pack
