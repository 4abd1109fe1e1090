#include "kernel_threads.h"

#include <cblas.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Workers that sleep between calls (a spinning one would take the core from OpenBLAS's own).
class WorkerPool
{
public:
    static WorkerPool& instance()
    {
        static WorkerPool pool;
        return pool;
    }

    ~WorkerPool()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        for (std::thread& worker : workers)
            worker.join();
    }

    // False when another call holds the pool.
    bool run(size_t count, size_t parts, const std::function<void(size_t, size_t)>& body)
    {
        std::unique_lock<std::mutex> calling(callMutex, std::try_to_lock);
        if (!calling.owns_lock())
            return false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            while (workers.size() + 1 < parts)
                workers.emplace_back(&WorkerPool::work, this, workers.size() + 1);
            job = &body;
            jobCount = count;
            jobParts = parts;
            unfinished = parts - 1;
            ++generation;
        }
        wake.notify_all();
        body(0, count / parts);
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, [this] { return unfinished == 0; });
        return true;
    }

private:
    void work(size_t part)
    {
        size_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return stopping || generation != seen; });
            if (stopping)
                return;
            seen = generation;
            if (part >= jobParts)
                continue;
            const std::function<void(size_t, size_t)>& body = *job;
            const size_t begin = jobCount * part / jobParts, end = jobCount * (part + 1) / jobParts;
            lock.unlock();
            body(begin, end);
            lock.lock();
            if (--unfinished == 0)
                done.notify_one();
        }
    }

    std::mutex callMutex; // one call at a time
    std::mutex mutex;     // everything below
    std::condition_variable wake, done;
    std::vector<std::thread> workers;
    const std::function<void(size_t, size_t)>* job = nullptr;
    size_t jobCount = 0, jobParts = 0, unfinished = 0, generation = 0;
    bool stopping = false;
};

} // namespace

void KernelThreads::forRange(size_t count, size_t grain, const std::function<void(size_t, size_t)>& body)
{
    const size_t threads = size_t(std::max(1, openblas_get_num_threads()));
    const size_t parts = std::min(threads, count / std::max<size_t>(grain, 1));
    if (parts < 2 || !WorkerPool::instance().run(count, parts, body))
        body(0, count);
}
