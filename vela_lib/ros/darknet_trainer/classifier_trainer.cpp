#include "classifier_trainer.h"

#include "cfg_document.h"
#include "diagnostic_line.h"
#include "network_cfg_check.h"
#include "run_seed.h"
#include "stop_request.h"
#include "text_lines.h"
#include "training_run.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kLargestBatchBytes = 8.0 * 1024 * 1024 * 1024;

int failWith(const std::string& message)
{
    DiagnosticLine::error(message);
    return 1;
}

// darknet's basecfg(): the file name without folders and without its extension.
std::string baseName(const std::string& path)
{
    std::string name = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    const size_t dot = name.find('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string folderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool prepareBackupFolder(const std::string& folder, std::string* error)
{
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!std::filesystem::is_directory(folder, ec) || access(folder.c_str(), W_OK) != 0) {
        *error = "backup folder " + folder + " cannot be created or written";
        return false;
    }
    return true;
}

// The model name of the training folder's version file ("family:name"), else the cfg's name.
std::string modelName(const std::string& dataFile, const std::string& cfgBaseName)
{
    std::string version;
    if (!TextLines::readFile(folderOf(dataFile) + "/version", &version))
        return cfgBaseName;
    version = TextLines::trimmed(version);
    const size_t colon = version.find(':');
    const std::string name = colon == std::string::npos ? version : version.substr(colon + 1);
    return name.empty() ? cfgBaseName : name;
}

// The display names as names.list writes them (empty names kept), else the labels.
std::vector<std::string> classNames(const DataFile& data, const TrainSet& set)
{
    std::string text;
    if (data.names.empty() || !TextLines::readFile(data.names, &text))
        return set.labels;
    std::vector<std::string> names = TextLines::split(text);
    if (!names.empty() && names.back().empty() && int(names.size()) == data.classes + 1)
        names.pop_back(); // a final line break
    return int(names.size()) == data.classes ? names : set.labels;
}

// Everything the run needs, checked before any engine sees it.
struct CheckedInputs
{
    DataFile data;
    TrainSet set;
    NetworkSummary summary;
    NetSettings net;
};

bool checkInputs(const TrainerArguments& args, CheckedInputs* in, std::string* error)
{
    std::vector<std::string> warnings;
    if (!DataFile::read(args.dataFile, &in->data, error) || !TrainSet::load(in->data, &in->set, error, &warnings))
        return false;
    for (const auto& w : warnings)
        DiagnosticLine::warning(w);
    CfgDocument document;
    if (!NetworkCfgCheck::checkFile(args.cfgFile, &document, &in->summary, error) ||
        !NetSettings::read(document, &in->net, error))
        return false;
    const NetworkSummary& net = in->summary;
    // Two batches of input are kept, one loading while the other trains.
    if (2.0 * net.batch * net.width * net.height * 3 * sizeof(float) > kLargestBatchBytes) {
        *error = "network configuration " + args.cfgFile + ": batch=" + std::to_string(net.batch) + " of " +
                 std::to_string(net.width) + " x " + std::to_string(net.height) +
                 " images is more than this trainer holds in memory";
        return false;
    }
    if (net.outputs != in->data.classes) {
        *error = "network configuration " + args.cfgFile + " ends in " + std::to_string(net.outputs) +
                 " outputs, but the data file says classes=" + std::to_string(in->data.classes);
        return false;
    }
    if (!args.weights.empty() && access(args.weights.c_str(), R_OK) != 0) {
        *error = "weights file " + args.weights + " cannot be read";
        return false;
    }
    return prepareBackupFolder(in->data.backup, error);
}

// The engine's network, with the given weights (and their count of images seen); continues
// tells whether they continue a training of this network (an exact file).
bool buildNetwork(TrainingEngine& engine, const TrainerArguments& args, const CheckedInputs& in, bool* continues,
                  std::string* error)
{
    *continues = false;
    unsigned seed = 0;
    std::srand(RunSeed::fixed(&seed) ? seed : unsigned(std::time(nullptr)) ^ unsigned(getpid()));
    if (!engine.build(args.cfgFile, error))
        return false;
    if (args.weights.empty())
        return true;
    TransferWeights::Plan plan;
    if (!TransferWeights::plan(args.weights, in.summary.weights, &plan, error)) {
        // A mistyped option leaves its layer at the default size; that, rather than the file, may
        // be what does not fit.
        if (!in.summary.unreadOptions.empty() && error->find("does not fit") != std::string::npos)
            *error += " (the configuration has options the darknet library does not read: " +
                      in.summary.unreadOptions + ")";
        return false;
    }
    if (!engine.loadWeights(args.weights, plan, error))
        return false;
    *continues = plan.exact;
    if (!plan.exact) {
        std::printf("%s\n", TransferWeights::summary(in.summary.weights, args.weights, plan).c_str());
        std::fflush(stdout);
    }
    return true;
}

// A batch that does not fit the device: what was tried, and what to change.
std::string outOfMemoryLine(const std::string& model, const NetSettings& net, const TrainingEngine::OutOfMemory& e)
{
    const std::string network = model + " at " + std::to_string(net.width) + " x " + std::to_string(net.height);
    if (e.imagesPerPass.empty())
        return network + " does not fit in the memory of " + e.device + "; pick a smaller model or input size";
    std::string tried;
    for (int images : e.imagesPerPass)
        tried += (tried.empty() ? "" : ", then ") + std::to_string(images);
    return network + " does not fit in the memory of " + e.device + ": batch=" + std::to_string(net.batch) +
           ", subdivisions=" + std::to_string(net.subdivisions) + " tried as passes of " + tried +
           " images; lower batch or raise subdivisions (each pass holds batch / subdivisions images)";
}

} // namespace

bool ClassifierTrainer::parseArguments(int argc, const char* const* argv, TrainerArguments* args, std::string* error)
{
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "-dont_show")
            continue; // there is never a window to show
        if (word == "-patience") {
            const char* count = i + 1 < argc ? argv[++i] : "";
            char* end = nullptr;
            const long value = std::strtol(count, &end, 10);
            if (!*count || *end || value < 0 || value > 1000000) {
                *error = "-patience takes a number of evaluations, not \"" + std::string(count) + "\"";
                return false;
            }
            args->patience = int(value);
            continue;
        }
        if (word.size() > 1 && word[0] == '-') {
            *error = "unknown option " + word;
            return false;
        }
        words.push_back(word);
    }
    if (words.size() < 4 || words.size() > 5 || words[0] != "classifier" || words[1] != "train") {
        *error = "expected: classifier train <data file> <cfg> [<weights>] [-patience N] [-dont_show]";
        return false;
    }
    args->dataFile = words[2];
    args->cfgFile = words[3];
    args->weights = words.size() == 5 ? words[4] : std::string();
    return true;
}

int ClassifierTrainer::run(const TrainerArguments& args, const EngineChoice::Plan& plan)
{
    StopRequest::install();
    std::printf("engine: %s\n", EngineChoice::describe(plan.kind).c_str());
    std::fflush(stdout);
    std::string error;
    CheckedInputs in;
    if (!checkInputs(args, &in, &error))
        return failWith(error);
    const std::string model = modelName(args.dataFile, baseName(args.cfgFile));
    try {
        const std::unique_ptr<TrainingEngine> engine = EngineChoice::make(plan, in.summary);
        bool continues = false;
        if (!buildNetwork(*engine, args, in, &continues, &error))
            return failWith(error);

        // The loader shares the cores with a CPU engine, but has them all when a GPU trains.
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        TrainingRun::Setup setup{in.data, in.set, in.net, baseName(args.cfgFile),
                                 TrainingReport(model, classNames(in.data, in.set), false), ValidationSet(),
                                 int(plan.torch.cuda ? cores : std::min(4u, cores))};
        std::vector<std::string> warnings;
        setup.validation = ValidationSet::load(in.data, in.set, &warnings);
        for (const auto& w : warnings)
            DiagnosticLine::warning(w);
        setup.patience = args.patience;
        setup.continuation = continues;
        if (args.patience > 0 && setup.validation.paths.empty())
            DiagnosticLine::warning("-patience " + std::to_string(args.patience) +
                                    " needs held-out validation images, and this training folder has none; it has no effect");
        RunPace pace;
        const char* every = std::getenv("VELA_TRAINER_EVALUATE_EVERY");
        pace.evaluateEveryIterations = every ? std::max(0LL, std::atoll(every)) : 0;
        return TrainingRun(*engine, setup, pace).train();
    } catch (const TrainingEngine::OutOfMemory& e) {
        // Nothing more is written: the backup keeps what it held.
        return failWith(outOfMemoryLine(model, in.net, e));
    }
}
