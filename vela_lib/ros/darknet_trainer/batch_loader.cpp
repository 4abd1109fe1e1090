#include "batch_loader.h"

#include "diagnostic_line.h"
#include "run_seed.h"

#include <fstream>
#include <string>

double BatchLoader::cacheBudgetBytes()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    double kibibytes = 0;
    while (meminfo >> key >> kibibytes && key != "MemAvailable:") {
        meminfo.ignore(256, '\n');
        kibibytes = 0;
    }
    return std::max(1024.0 * 1024 * 1024, kibibytes * 1024 / 2);
}

BatchLoader::BatchLoader(const TrainSet& set, const Augmentation& augmentation, int imagesPerBatch, int threads)
    : set(set), augmenter(augmentation), decoder(augmenter.largestScaledSide()), imagesPerBatch(imagesPerBatch),
      inputsPerImage(augmentation.width * augmentation.height * 3), workers(std::max(1, threads)),
      unreadable(std::make_unique<std::atomic<bool>[]>(set.paths.size())), readable(int(set.paths.size())),
      cache(set.paths.size()), cacheState(std::make_unique<std::atomic<int>[]>(set.paths.size())), cacheBudget(cacheBudgetBytes())
{
    std::random_device seeds;
    unsigned fixed = 0;
    const bool repeatable = RunSeed::fixed(&fixed);
    for (int i = 0; i < workers; ++i) {
        std::seed_seq seed{repeatable ? fixed : seeds(), repeatable ? 0u : seeds(), unsigned(i)};
        rngs.emplace_back(seed);
    }
    for (int w = 1; w < workers; ++w)
        helpers.emplace_back(&BatchLoader::help, this, w);
    producer = std::thread(&BatchLoader::produce, this);
}

BatchLoader::~BatchLoader()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    producer.join();
    {
        std::lock_guard<std::mutex> lock(roundMutex);
        helpersStopping = true;
    }
    roundChanged.notify_all();
    for (auto& helper : helpers)
        helper.join();
}

// The helpers live as long as the loader: a thread started for every batch would start with
// an allocator arena of its own, empty, and fault in its memory again each time (on 2 cores the
// loader then ran at a third of its speed).
void BatchLoader::help(int worker)
{
    uint64_t done = 0;
    for (;;) {
        Batch* batch = nullptr;
        {
            std::unique_lock<std::mutex> lock(roundMutex);
            roundChanged.wait(lock, [&] { return helpersStopping || round != done; });
            if (helpersStopping)
                return;
            done = round;
            batch = roundBatch;
        }
        fillPart(batch, worker, workers);
        {
            std::lock_guard<std::mutex> lock(roundMutex);
            ++helpersDone;
        }
        roundChanged.notify_all();
    }
}

bool BatchLoader::next(Batch* batch, std::string* error)
{
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return ready || failed; });
    if (failed) {
        *error = readable.load() > 0 ? "the training images could not be loaded" : "no image of the train list can be read";
        return false;
    }
    std::swap(*batch, prepared);
    ready = false;
    lock.unlock();
    changed.notify_all();
    return true;
}

void BatchLoader::produce()
{
    // Two batches take turns: one is filled here while the consumer trains on the other.
    Batch work;
    for (;;) {
        const bool ok = fill(&work);
        std::unique_lock<std::mutex> lock(mutex);
        if (!ok) {
            failed = true;
            changed.notify_all();
            return;
        }
        changed.wait(lock, [this] { return !ready || stopping; });
        if (stopping)
            return;
        std::swap(work, prepared);
        ready = true;
        changed.notify_all();
    }
}

bool BatchLoader::fill(Batch* batch)
{
    batch->images = imagesPerBatch;
    batch->inputsPerImage = inputsPerImage;
    batch->classes = int(set.labels.size());
    try {
        batch->x.assign(size_t(batch->images) * batch->inputsPerImage, 0.0f);
        batch->y.assign(size_t(batch->images) * batch->classes, 0.0f);
    } catch (const std::exception& e) {
        report(e);
    }
    if (!outOfMemory) {
        {
            std::lock_guard<std::mutex> lock(roundMutex);
            roundBatch = batch;
            helpersDone = 0;
            ++round;
        }
        roundChanged.notify_all();
        fillPart(batch, 0, workers);
        std::unique_lock<std::mutex> lock(roundMutex);
        roundChanged.wait(lock, [this] { return helpersDone == workers - 1; });
    }
    return readable.load() > 0 && !outOfMemory;
}

void BatchLoader::fillPart(Batch* batch, int worker, int workers)
{
    // Exceptions (memory running out in OpenCV) must not leave a thread.
    try {
        std::mt19937& rng = rngs[size_t(worker)];
        for (int i = worker; i < batch->images; i += workers) {
            DecodedPicture picture;
            const int index = drawReadable(rng, &picture);
            if (index < 0)
                return;
            augmenter.augment(picture, rng, batch->x.data() + size_t(i) * batch->inputsPerImage);
            batch->y[size_t(i) * batch->classes + size_t(set.classOf[size_t(index)])] = 1.0f;
        }
    } catch (const std::exception& e) {
        report(e);
    }
}

void BatchLoader::report(const std::exception& e)
{
    if (!outOfMemory.exchange(true))
        DiagnosticLine::warning(std::string("loading a batch failed: ") + e.what());
}

DecodedPicture BatchLoader::decode(size_t index)
{
    if (cacheState[index].load(std::memory_order_acquire) == 2)
        return cache[index];
    DecodedPicture picture = decoder.read(set.paths[index]);
    if (picture.empty() || caching.load() == 0)
        return picture;
    const double bytes = double(picture.bytes());
    if (caching.load() < 0) {
        // The first picture stands for the others: generated sets are of one size.
        const bool worthIt = bytes * double(set.paths.size()) <= cacheBudget;
        int undecided = -1;
        caching.compare_exchange_strong(undecided, worthIt ? 1 : 0);
        if (caching.load() == 0)
            return picture;
    }
    int free = 0;
    if (!cacheState[index].compare_exchange_strong(free, 1))
        return picture; // another thread stores it
    double before = cachedBytes.load();
    while (before + bytes <= cacheBudget && !cachedBytes.compare_exchange_weak(before, before + bytes)) {
    }
    if (before + bytes > cacheBudget) {
        cacheState[index] = 0;
        return picture;
    }
    cache[index] = picture;
    cacheState[index].store(2, std::memory_order_release);
    return picture;
}

int BatchLoader::drawReadable(std::mt19937& rng, DecodedPicture* picture)
{
    std::uniform_int_distribution<size_t> pick(0, set.paths.size() - 1);
    while (readable.load() > 0) {
        const size_t index = pick(rng);
        if (unreadable[index])
            continue;
        *picture = decode(index);
        if (!picture->empty())
            return int(index);
        if (!unreadable[index].exchange(true)) {
            --readable;
            DiagnosticLine::warning("image " + set.paths[index] + " cannot be read; skipped");
        }
    }
    return -1;
}
