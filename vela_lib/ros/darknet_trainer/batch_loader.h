#pragma once

#include "batch.h"
#include "image_augmenter.h"
#include "train_set.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

// Prepares the next batch on background threads while the current one trains, like darknet's
// loader. An image that cannot be read is reported once on standard error and never drawn
// again. Pictures are decoded no larger than the augmentation needs. When the whole train set so
// decoded fits the cache budget, each picture is decoded once and kept: decoding costs several
// times what augmenting does, and a GPU trains faster than 2 cores can decode.
class BatchLoader
{
public:
    // The budget: half the memory available when the loader starts, and at least 1 GiB.
    static double cacheBudgetBytes();

    BatchLoader(const TrainSet& set, const Augmentation& augmentation, int imagesPerBatch, int threads);
    ~BatchLoader();
    BatchLoader(const BatchLoader&) = delete;
    BatchLoader& operator=(const BatchLoader&) = delete;

    // Waits for the prepared batch and swaps it into batch, then starts on the next one.
    // False (with one line in error) when no image of the set can be read.
    bool next(Batch* batch, std::string* error);

private:
    void produce();
    void help(int worker);
    bool fill(Batch* batch);
    void fillPart(Batch* batch, int worker, int workers);
    int drawReadable(std::mt19937& rng, DecodedPicture* picture);
    DecodedPicture decode(size_t index);
    void report(const std::exception& e);

    const TrainSet& set;
    ImageAugmenter augmenter;
    PictureDecoder decoder;
    const int imagesPerBatch;
    const int inputsPerImage;
    const int workers;
    std::vector<std::mt19937> rngs;
    std::unique_ptr<std::atomic<bool>[]> unreadable;
    std::atomic<int> readable;
    std::atomic<bool> outOfMemory{false};

    // Decoded pictures, kept once cacheState[i] is 2 (1 while being stored).
    std::vector<DecodedPicture> cache;
    std::unique_ptr<std::atomic<int>[]> cacheState;
    std::atomic<int> caching{-1}; // -1 until the first picture tells the set's size, then 0 or 1
    std::atomic<double> cachedBytes{0};
    const double cacheBudget;

    std::mutex mutex;
    std::condition_variable changed;
    Batch prepared;
    bool ready = false;
    bool failed = false;
    bool stopping = false;
    std::thread producer;

    // The helpers that fill the other workers' shares of each batch, one round per batch.
    std::vector<std::thread> helpers;
    std::mutex roundMutex;
    std::condition_variable roundChanged;
    Batch* roundBatch = nullptr;
    uint64_t round = 0;
    int helpersDone = 0;
    bool helpersStopping = false;
};
