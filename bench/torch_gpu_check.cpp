// The LibTorch engine on a CUDA device: the same answers as on the CPU, and how fast it trains.
// Built without Qt or OpenCV, for a machine with a GPU and a CUDA PyTorch; scripts/gpu-check builds
// it and runs it once per model and measurement, each in a process of its own so that each peak
// of GPU memory is its own:
//   torch_gpu_check parity <template.cfg>
//     test-mode scores of the same weights and images on both devices (fp32, TF32 off): the
//     largest difference, limit 1e-3; then one update from the same weights and batch: the
//     largest difference of the weights written, as a share of the largest change the update
//     made on the CPU, limit 1e-2 (dropout off and no burn-in, so that the update is a real one
//     and the same on both)
//   torch_gpu_check speed <template.cfg> <batch> fp32|amp [seconds]
//     training images per second on batches already in memory (after warm-up iterations in
//     which cuDNN picks its algorithms), and the peak of GPU memory in use
// Exit code 0: within the limits; 1: a figure beyond its limit or a failure; 77: no usable CUDA
// device here (one line says why).
#include "cuda_driver.h"
#include "network_cfg_check.h"
#include "torch_engine.h"
#include "transfer_weights.h"
#include "weights_header.h"

#include <ATen/Context.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kClasses = 10;
constexpr double kScoreLimit = 1e-3;
constexpr double kUpdateLimit = 1e-2;

std::string readText(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The template with its placeholders filled in, written to a temporary file.
std::string instantiate(const std::string& templatePath, int batch, bool forParity, const std::string& folder)
{
    std::string text = readText(templatePath);
    text = std::regex_replace(text, std::regex("\\$batch\\$"), std::to_string(batch));
    text = std::regex_replace(text, std::regex("\\$subdivisions\\$"), "1");
    text = std::regex_replace(text, std::regex("\\$classes\\$"), std::to_string(kClasses));
    if (forParity) {
        text = std::regex_replace(text, std::regex("(^|\n)probability=[^\n]*"), "$1probability=0");
        text = std::regex_replace(text, std::regex("(^|\n)burn_in=[^\n]*"), "$1burn_in=0");
    }
    const std::string path = folder + "/net.cfg";
    std::ofstream(path) << text;
    return path;
}

struct Network
{
    std::string cfg;
    NetworkSummary summary;
};

bool check(const std::string& cfg, Network* network)
{
    std::string error;
    network->cfg = cfg;
    if (!NetworkCfgCheck::checkFile(cfg, &network->summary, &error)) {
        std::printf("torch_gpu_check: %s\n", error.c_str());
        return false;
    }
    return true;
}

std::unique_ptr<TrainingEngine> engineOn(const Network& network, bool cuda, bool mixed)
{
    auto engine = TorchEngine::make(network.summary, TorchEngineOptions{cuda, mixed});
    std::string error;
    if (!engine->build(network.cfg, &error)) {
        std::printf("torch_gpu_check: %s\n", error.c_str());
        return nullptr;
    }
    return engine;
}

Batch randomBatch(const NetworkSummary& summary, int images, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> pixel(0.f, 1.f);
    Batch batch;
    batch.images = images;
    batch.inputsPerImage = summary.width * summary.height * summary.channels;
    batch.classes = kClasses;
    batch.x.resize(size_t(images) * size_t(batch.inputsPerImage));
    for (float& v : batch.x)
        v = pixel(random);
    batch.y.assign(size_t(images) * kClasses, 0.f);
    for (int i = 0; i < images; ++i)
        batch.y[size_t(i) * kClasses + size_t(random() % kClasses)] = 1.f;
    return batch;
}

std::vector<float> saved(TrainingEngine& engine, const std::string& path)
{
    std::string error;
    if (!engine.saveWeights(path, &error))
        std::printf("torch_gpu_check: %s\n", error.c_str());
    const std::string bytes = readText(path);
    std::vector<float> values((bytes.size() - std::min(bytes.size(), size_t(WeightsHeader::kLongest))) / sizeof(float));
    std::memcpy(values.data(), bytes.data() + WeightsHeader::kLongest, values.size() * sizeof(float));
    return values;
}

bool load(TrainingEngine& engine, const Network& network, const std::string& path)
{
    TransferWeights::Plan plan;
    std::string error;
    if (TransferWeights::plan(path, network.summary.weights, &plan, &error) && engine.loadWeights(path, plan, &error))
        return true;
    std::printf("torch_gpu_check: %s\n", error.c_str());
    return false;
}

double largestDifference(const std::vector<float>& a, const std::vector<float>& b)
{
    if (a.size() != b.size())
        return INFINITY;
    double largest = 0;
    for (size_t i = 0; i < a.size(); ++i)
        largest = std::max(largest, double(std::fabs(a[i] - b[i])));
    return largest;
}

std::string modelOf(const std::string& templatePath)
{
    const std::string file = templatePath.substr(templatePath.find_last_of('/') + 1);
    return file.substr(0, file.find('.'));
}

int parity(const std::string& templatePath, const std::string& folder)
{
    // Both devices compute in full fp32: TF32 would round the products on the GPU.
    at::globalContext().setAllowTF32CuDNN(false);
    at::globalContext().setAllowTF32CuBLAS(false);
    const std::string model = modelOf(templatePath);
    const int images = model == "VoderoVod_32" ? 32 : 8;
    Network network;
    if (!check(instantiate(templatePath, images, true, folder), &network))
        return 1;
    // Two iterations on the CPU give the rolling statistics something to hold.
    auto trained = engineOn(network, false, false);
    if (!trained)
        return 1;
    const auto never = [] { return false; };
    for (unsigned i = 0; i < 2; ++i)
        trained->trainBatch(randomBatch(network.summary, images, i), never);
    const std::string start = folder + "/start.weights";
    const std::vector<float> initial = saved(*trained, start);

    auto cpu = engineOn(network, false, false);
    auto cuda = engineOn(network, true, false);
    if (!cpu || !cuda || !load(*cpu, network, start) || !load(*cuda, network, start))
        return 1;
    const Batch batch = randomBatch(network.summary, images, 7);
    std::vector<float> cpuScores, cudaScores;
    cpu->predict(batch.x.data(), images, &cpuScores);
    cuda->predict(batch.x.data(), images, &cudaScores);
    const double scores = largestDifference(cpuScores, cudaScores);

    cpu->trainBatch(batch, never);
    cuda->trainBatch(batch, never);
    const std::vector<float> cpuAfter = saved(*cpu, folder + "/cpu.weights");
    const std::vector<float> cudaAfter = saved(*cuda, folder + "/cuda.weights");
    const double change = largestDifference(cpuAfter, initial);
    const double update = largestDifference(cpuAfter, cudaAfter) / std::max(change, 1e-30);
    const bool good = scores <= kScoreLimit && update <= kUpdateLimit && change > 0;
    std::printf("%-16s parity, %d images: test-mode scores differ by %.2g at most (limit %.0e); after one update "
                "the weights differ by %.2g of the largest change %.3g (limit %.0e): %s\n",
                model.c_str(), images, scores, kScoreLimit, update, change, kUpdateLimit, good ? "ok" : "FAILED");
    return good ? 0 : 1;
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int speed(const std::string& templatePath, int images, bool mixed, double seconds, const std::string& folder)
{
    const std::string model = modelOf(templatePath);
    Network network;
    if (!check(instantiate(templatePath, images, false, folder), &network))
        return 1;
    const size_t before = CudaDriver::memoryInUse();
    size_t peak = before;
    auto engine = engineOn(network, true, mixed);
    if (!engine)
        return 1;
    const Batch batches[2] = {randomBatch(network.summary, images, 1), randomBatch(network.summary, images, 2)};
    const auto never = [] { return false; };
    // The two batches in turn, the next one offered while one trains, as a training run does.
    int trained = 0;
    engine->setNextBatch([&] { return &batches[(trained + 1) % 2]; });
    const auto iteration = [&] {
        engine->trainBatch(batches[trained % 2], never);
        peak = std::max(peak, CudaDriver::memoryInUse());
        ++trained;
    };
    for (int i = 0; i < 3; ++i) // cuDNN tries its algorithms on the first iterations
        iteration();
    const auto start = std::chrono::steady_clock::now();
    int iterations = 0;
    while (iterations < 5 || secondsSince(start) < seconds) {
        iteration();
        ++iterations;
    }
    engine->setNextBatch(nullptr);
    const double rate = iterations * double(images) / secondsSince(start);
    std::printf("%-16s %3d x %3d, batch %3d, %-15s %7.0f images/s, peak GPU memory %6.0f MiB\n", model.c_str(),
                network.summary.width, network.summary.height, images, mixed ? "mixed precision" : "fp32", rate,
                double(peak - before) / (1 << 20));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string what = argc > 1 ? argv[1] : "";
    if ((what != "parity" || argc != 3) && (what != "speed" || argc < 5)) {
        std::fprintf(stderr, "usage: torch_gpu_check parity <template.cfg> | speed <template.cfg> <batch> fp32|amp [seconds]\n");
        return 2;
    }
    std::string device;
    if (!TorchEngine::cudaUsable(&device)) {
        std::printf("torch_gpu_check: no usable CUDA device (%s): the parity and speed checks need an NVIDIA GPU\n",
                    device.c_str());
        return 77;
    }
    char folder[] = "/tmp/torch_gpu_check.XXXXXX";
    if (!mkdtemp(folder))
        return 1;
    int status = 0;
    try {
        status = what == "parity" ? parity(argv[2], folder)
                                  : speed(argv[2], std::atoi(argv[3]), std::strcmp(argv[4], "amp") == 0,
                                          argc > 5 ? std::atof(argv[5]) : 10.0, folder);
    } catch (const std::exception& e) {
        std::printf("%-16s %s: %s\n", modelOf(argv[2]).c_str(), what.c_str(), e.what());
        status = 1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return status;
}
