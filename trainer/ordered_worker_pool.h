#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

// A few worker threads run numbered jobs side by side while the owning thread collects the
// results one by one in job order. At most `capacity` jobs are submitted and not yet collected,
// which bounds the memory the jobs hold. The owner never blocks for long: take() waits at most
// the time it is given, so it can keep its event loop turning in between.
// Not QtConcurrent::mapped: in Qt 5 it has no per-run thread count or thread-start hook, and its
// future keeps every result until the run ends, where this pool holds at most `capacity`.
template <typename Result>
class OrderedWorkerPool
{
public:
    using Task = std::function<Result(int index)>;
    // Runs first on every worker thread (per-thread seeding, for example).
    using ThreadStart = std::function<void(int threadIndex)>;

    OrderedWorkerPool(int threadCount, int capacity, Task task, ThreadStart threadStart = {})
        : task(std::move(task)), capacity(std::max(capacity, 1))
    {
        for (int t = 0; t < std::max(threadCount, 1); ++t)
            threads.emplace_back([this, t, threadStart] {
                if (threadStart)
                    threadStart(t);
                work();
            });
    }

    // Jobs not yet started are dropped; running ones finish first.
    ~OrderedWorkerPool()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.clear();
            closing = true;
        }
        workAvailable.notify_all();
        for (std::thread& thread : threads)
            thread.join();
    }

    OrderedWorkerPool(const OrderedWorkerPool&) = delete;
    OrderedWorkerPool& operator=(const OrderedWorkerPool&) = delete;

    bool hasRoom() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return outstanding < capacity;
    }

    void submit(int index)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(index);
            ++outstanding;
        }
        workAvailable.notify_one();
    }

    // The result of job index once it is there; false when it is not after waitMs.
    bool take(int index, int waitMs, Result& result)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!resultReady.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return done.count(index) > 0; }))
            return false;
        auto found = done.find(index);
        result = std::move(found->second);
        done.erase(found);
        --outstanding;
        return true;
    }

private:
    void work()
    {
        for (;;) {
            int index;
            {
                std::unique_lock<std::mutex> lock(mutex);
                workAvailable.wait(lock, [&] { return closing || !queue.empty(); });
                if (queue.empty())
                    return;
                index = queue.front();
                queue.pop_front();
            }
            Result result = task(index);
            {
                std::lock_guard<std::mutex> lock(mutex);
                done.emplace(index, std::move(result));
            }
            resultReady.notify_all();
        }
    }

    const Task task;
    const int capacity;
    mutable std::mutex mutex;
    std::condition_variable workAvailable;
    std::condition_variable resultReady;
    std::deque<int> queue;
    std::map<int, Result> done;
    int outstanding = 0;
    bool closing = false;
    std::vector<std::thread> threads;
};

// Feeds jobs 0 .. total - 1 through pool and hands each result to handle(index, result) on the
// calling thread, in job order. While a result is not there yet it calls idle() every waitMs.
// Once stopSubmitting() answers true no further job is submitted; the results of the jobs
// already submitted are still handed over.
template <typename Result, typename StopSubmitting, typename Idle, typename Handle>
void runInJobOrder(OrderedWorkerPool<Result>& pool, int total, int waitMs, StopSubmitting stopSubmitting, Idle idle,
                   Handle handle)
{
    int submitted = 0;
    for (int index = 0; index < total; ++index) {
        const bool stopped = stopSubmitting();
        if (stopped && index >= submitted)
            return;
        while (!stopped && submitted < total && pool.hasRoom())
            pool.submit(submitted++);
        Result result;
        while (!pool.take(index, waitMs, result)) {
            idle();
            stopSubmitting(); // a stop noticed while waiting takes effect at once
        }
        handle(index, result);
    }
}
