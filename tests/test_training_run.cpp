// The training loop itself, in milliseconds: an engine that only counts (no network) and a clock
// that moves by what each step is said to take, on real pictures through the real loader, so the
// backup cadence, the batch dropped by a stop and the timing of evaluations are checked exactly.
#include "darknet_training_folder.h"
#include "test_support.h"

#include "batch_loader.h"
#include "stop_request.h"
#include "training_run.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kClasses = 3;

// Trains nothing: each pass counts its images and moves the clock; a save records the count (and
// writes it, so that a file can be compared); every prediction names the same class.
class CountingEngine : public TrainingEngine
{
public:
    CountingEngine(const NetSettings& net, double* clock) : net(net), clock(clock) {}

    double secondsPerPass = 1;
    double secondsPerPrediction = 0;
    int64_t stopInIteration = -1; // asks for a stop during the first pass of that iteration
    int answer = 0;               // the class every prediction names
    bool asksForNext = false;     // asks for the next batch in every iteration, as a GPU engine does
    std::vector<std::pair<std::string, uint64_t> > saves;
    int predictions = 0;
    NextBatch next;
    int trainedAsOffered = 0; // iterations given the very batch (object and contents) offered before

    std::string description() const override { return "counting"; }
    bool build(const std::string&, std::string*) override { return true; }
    bool loadWeights(const std::string&, const TransferWeights::Plan&, std::string*) override { return true; }
    bool saveWeights(const std::string& path, std::string*) override
    {
        saves.emplace_back(path.substr(path.find_last_of('/') + 1), seen);
        testutil::writeBytes(QString::fromStdString(path), QByteArray::number(qulonglong(seen)));
        return true;
    }
    // As if weights with this count of images seen had been loaded.
    void startAt(uint64_t images) { seen = images; }
    void setNextBatch(NextBatch source) override { next = std::move(source); }
    Step trainBatch(const Batch& batch, const std::function<bool()>& stopNow) override
    {
        trainedAsOffered += offered == &batch && offeredX == batch.x;
        offered = asksForNext && next ? next() : nullptr;
        offeredX = offered ? offered->x : std::vector<float>();
        Step step;
        const uint64_t before = seen;
        for (int pass = 0; pass < net.subdivisions; ++pass) {
            if (pass > 0 && stopNow()) {
                seen = before;
                step.dropped = true;
                return step;
            }
            if (pass == 0 && int64_t(net.batchNumber(size_t(seen))) + 1 == stopInIteration)
                StopRequest::request();
            seen += uint64_t(net.imagesPerPass());
            *clock += secondsPerPass;
        }
        step.loss = 1.0 / double(seen);
        step.correct = batch.images / 2;
        return step;
    }
    void predict(const float*, int images, std::vector<float>* scores) override
    {
        ++predictions;
        *clock += secondsPerPrediction;
        scores->assign(size_t(images) * kClasses, 0.f);
        for (int i = 0; i < images; ++i)
            (*scores)[size_t(i * kClasses + answer)] = 1.f;
    }
    int outputs() const override { return kClasses; }
    uint64_t imagesSeen() const override { return seen; }
    double currentRate() const override { return 0.1; }

private:
    const Batch* offered = nullptr;
    std::vector<float> offeredX;
    const NetSettings& net;
    double* clock;
    uint64_t seen = 0;
};

struct Outcome
{
    int code = -1;
    QStringList lines;
};

} // namespace

class TrainingRunTest : public QObject
{
    Q_OBJECT

    QTemporaryDir gen;
    double now = 0;
    RunPace pace;
    TrainingRun::Setup setup;

    Outcome run(CountingEngine& engine)
    {
        StopRequest::clear();
        std::FILE* out = std::tmpfile();
        const QString previous = QDir::currentPath();
        QDir::setCurrent(gen.path());
        Outcome outcome;
        outcome.code = TrainingRun(engine, setup, pace, out).train();
        QDir::setCurrent(previous);
        std::rewind(out);
        QByteArray text;
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
            text.append(buffer, int(n));
        std::fclose(out);
        outcome.lines = QString::fromUtf8(text).split('\n', Qt::SkipEmptyParts);
        StopRequest::clear();
        return outcome;
    }

    // Every third picture of the train list, from the first one on, held out as the validation set.
    void holdOutEveryThird(size_t first = 0)
    {
        setup.data.validList = "data_gen/held_out.list";
        QStringList held;
        for (size_t i = first; i < setup.set.paths.size(); i += 3)
            held << QString::fromStdString(setup.set.paths[i]);
        testutil::writeBytes(gen.path() + "/" + setup.data.validList.c_str(), held.join("\n").toUtf8());
        std::vector<std::string> warnings;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(gen.path());
        setup.validation = ValidationSet::load(setup.data, setup.set, &warnings);
        QDir::setCurrent(previous);
    }

    static QList<qint64> iterationsOf(const QStringList& lines, const QString& prefix)
    {
        QList<qint64> found;
        const QRegularExpression number("^" + QRegularExpression::escape(prefix) + "\\[([0-9]+)\\]");
        for (const QString& line : lines) {
            const QRegularExpressionMatch m = number.match(line);
            if (m.hasMatch())
                found << m.captured(1).toLongLong();
        }
        return found;
    }

private slots:
    void init()
    {
        DarknetTrainingFolder::write(gen.path(), {"circle", "square", "triangle"}, 4, 20, 24);
        now = 0;
        pace = RunPace();
        pace.clock = [this] { return now; };
        const QString previous = QDir::currentPath();
        QDir::setCurrent(gen.path());
        std::string error;
        std::vector<std::string> warnings;
        setup = TrainingRun::Setup();
        QVERIFY(DataFile::read("data_gen/data.data", &setup.data, &error));
        QVERIFY(TrainSet::load(setup.data, &setup.set, &error, &warnings));
        QDir::setCurrent(previous);
        setup.net.width = setup.net.height = 16;
        setup.net.channels = 3;
        setup.net.batch = 4;
        setup.net.subdivisions = 2;
        setup.net.maxBatches = 20;
        setup.cfgBaseName = "train";
        setup.report = TrainingReport("counting", {"circle", "square", "triangle"}, false);
    }

    // A backup every backupEveryIterations iterations or backupEverySeconds, whichever comes
    // first; at the end the backup and the final weights, with the count of images seen.
    void backupsFollowTheirCadence()
    {
        pace.backupEveryIterations = 8;
        pace.backupEverySeconds = 5;
        CountingEngine engine(setup.net, &now);
        engine.secondsPerPass = 1.5; // 3 seconds an iteration: the time asks every second one
        const Outcome outcome = run(engine);
        QCOMPARE(outcome.code, 0);
        QCOMPARE(iterationsOf(outcome.lines, "iteration").size(), 20);
        QList<qint64> backups;
        for (const auto& save : engine.saves)
            if (save.first == "train.backup")
                backups << qint64(save.second / 4);
        QCOMPARE(backups, QList<qint64>({2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 20}));
        QCOMPARE(engine.saves.back(), std::make_pair(std::string("train.weights"), uint64_t(80)));
        QVERIFY(QFile::exists(gen.path() + "/data_gen/backup/report.json"));
    }

    // At the end, the time the engine waited for batches: none on a clock that only the engine
    // moves; with a clock that also moves a quarter second whenever it is read, one quarter for
    // each of the 20 batches, the time between asking the loader and having the batch.
    void theWaitForDataIsReported()
    {
        CountingEngine engine(setup.net, &now);
        Outcome outcome = run(engine);
        QCOMPARE(outcome.code, 0);
        QCOMPARE(outcome.lines.filter(QRegularExpression("^data wait")), QStringList{"data wait: 0.00 s of 40.00 s (0.0 %)"});

        now = 0;
        pace.clock = [this] { return now += 0.25; };
        CountingEngine ticking(setup.net, &now);
        outcome = run(ticking);
        const QStringList lines = outcome.lines.filter(QRegularExpression("^data wait"));
        QCOMPARE(lines.size(), 1);
        const QRegularExpressionMatch m =
            QRegularExpression("^data wait: 5.00 s of ([0-9.]+) s \\(([0-9.]+) %\\)$").match(lines.first());
        QVERIFY2(m.hasMatch(), qPrintable(lines.first()));
        QVERIFY(m.captured(1).toDouble() > 45);
        QCOMPARE(m.captured(2), QString::number(500 / m.captured(1).toDouble(), 'f', 1));
    }

    // The loader's workers each fill their share of every batch, from pictures decoded once
    // and kept: with a fixed seed two loaders give the same batches, and no image is left blank.
    void theLoaderFillsEveryImageAlikeEachTime()
    {
        qputenv("VELA_TRAINER_SEED", "7");
        const QString previous = QDir::currentPath();
        QDir::setCurrent(gen.path());
        std::vector<std::vector<float> > first, second;
        for (auto* batches : {&first, &second}) {
            BatchLoader loader(setup.set, Augmentation::of(setup.net), 6, 3);
            Batch batch;
            std::string error;
            for (int i = 0; i < 4; ++i) {
                QVERIFY2(loader.next(&batch, &error), error.c_str());
                batches->push_back(batch.x);
            }
        }
        QDir::setCurrent(previous);
        qunsetenv("VELA_TRAINER_SEED");
        QVERIFY(first == second);
        const size_t row = size_t(3 * setup.net.width * setup.net.height);
        for (const std::vector<float>& x : first) {
            QCOMPARE(x.size(), 6 * row);
            for (size_t image = 0; image < 6; ++image)
                QVERIFY(std::any_of(x.begin() + long(image * row), x.begin() + long((image + 1) * row),
                                    [](float v) { return v > 0; }));
        }
    }

    // An engine that asks, while it trains, for the batch that follows is given that very batch
    // next; the run is otherwise the same, and the offer is withdrawn when the run ends.
    void anEngineMayAskForTheNextBatch()
    {
        CountingEngine engine(setup.net, &now);
        engine.asksForNext = true;
        QCOMPARE(run(engine).code, 0);
        QCOMPARE(engine.imagesSeen(), uint64_t(80));
        QCOMPARE(engine.trainedAsOffered, 19); // every iteration after the first
        QVERIFY(!engine.next);
    }

    // A stop between the passes of iteration 5 drops it: no progress line, the count of images
    // seen is that of iteration 4 in the backup, and no final weights.
    void aStopDropsThePartialBatch()
    {
        CountingEngine engine(setup.net, &now);
        engine.stopInIteration = 5;
        const Outcome outcome = run(engine);
        QCOMPARE(outcome.code, 0);
        QCOMPARE(iterationsOf(outcome.lines, "iteration"), QList<qint64>({1, 2, 3, 4}));
        QCOMPARE(engine.imagesSeen(), uint64_t(16));
        QCOMPARE(engine.saves.back(), std::make_pair(std::string("train.backup"), uint64_t(16)));
        for (const auto& save : engine.saves)
            QVERIFY(save.first != "train.weights");
    }

    // Evaluations take at most their share of the wall time, are at least the gap apart between
    // backups, and the run ends with one at max_batches. With 10 s iterations and 3 s
    // evaluations: the first at once, then the n-th once 3 n + 3 <= 0.1 (wall + 3).
    void evaluationsKeepToTheirShareOfTheTime()
    {
        holdOutEveryThird();
        QCOMPARE(int(setup.validation.paths.size()), 4);
        const int heldOfFirstClass = int(std::count(setup.validation.classOf.begin(), setup.validation.classOf.end(), 0));

        setup.net.maxBatches = 24;
        pace.backupEveryIterations = 1000;
        pace.backupEverySeconds = 1000;
        CountingEngine engine(setup.net, &now);
        engine.secondsPerPass = 5;
        engine.secondsPerPrediction = 1.5; // two passes of two images
        const Outcome outcome = run(engine);
        QCOMPARE(outcome.code, 0);
        QCOMPARE(iterationsOf(outcome.lines, "valid"), QList<qint64>({1, 6, 9, 11, 14, 17, 19, 22, 24}));
        QCOMPARE(engine.predictions, 9 * 2);
        const QString expected = QString("top1 %1, top5 %1, 4 images").arg(heldOfFirstClass / 4.0, 0, 'f', 6);
        QVERIFY2(outcome.lines.filter(QRegularExpression("^valid\\[")).last().contains(expected), qPrintable(expected));
        QCOMPARE(engine.saves.front().first, std::string("train.best")); // the first is the best so far
    }

    // Patience 2 on a network whose answers never change: the first evaluation stays the best,
    // the next two do not beat it, and the run ends there, with its final weights, saying why.
    // Without held-out images patience changes nothing.
    void patienceEndsARunThatStopsImproving()
    {
        setup.patience = 2;
        pace.evaluateEveryIterations = 3;
        CountingEngine unjudged(setup.net, &now);
        QCOMPARE(run(unjudged).code, 0);
        QCOMPARE(unjudged.imagesSeen(), uint64_t(80));

        holdOutEveryThird();
        CountingEngine engine(setup.net, &now);
        const Outcome outcome = run(engine);
        QCOMPARE(outcome.code, 0);
        QCOMPARE(iterationsOf(outcome.lines, "valid"), QList<qint64>({3, 6, 9}));
        QCOMPARE(outcome.lines.last(), QString("finished: no improvement in 2 evaluations"));
        QCOMPARE(engine.saves.back(), std::make_pair(std::string("train.weights"), uint64_t(36)));
    }

    // A run that continues from exact weights keeps the best of the run before when it is judged
    // on the same held-out images: evaluations below it leave train.best byte for byte, and the
    // report goes on from the earlier history. Other held-out images start a new best, said so.
    void aContinuationKeepsTheBestAndTheHistory()
    {
        holdOutEveryThird();
        pace.evaluateEveryIterations = 5;
        int held[kClasses] = {};
        for (const int c : setup.validation.classOf)
            ++held[c];
        CountingEngine first(setup.net, &now);
        first.answer = int(std::max_element(held, held + kClasses) - held);
        QCOMPARE(run(first).code, 0);
        const QString backup = gen.path() + "/data_gen/backup";
        const QByteArray best = testutil::readBytes(backup + "/train.best");
        QCOMPARE(best, QByteArray("20")); // the first evaluation's, at iteration 5

        setup.continuation = true;
        setup.net.maxBatches = 30;
        CountingEngine second(setup.net, &now);
        second.answer = int(std::min_element(held, held + kClasses) - held);
        second.startAt(80);
        QCOMPARE(run(second).code, 0);
        QCOMPARE(testutil::readBytes(backup + "/train.best"), best);
        const auto report = [&backup] {
            return QJsonDocument::fromJson(testutil::readBytes(backup + "/report.json")).object();
        };
        QJsonObject validation = report()["validation"].toObject();
        QList<int> evaluated;
        for (const QJsonValue& e : validation["evaluations"].toArray())
            evaluated << e.toObject()["iteration"].toInt();
        QCOMPARE(evaluated, QList<int>({5, 10, 15, 20, 25, 30}));
        QCOMPARE(validation["best_iteration"].toInt(), 5);
        QCOMPARE(report()["series"].toArray().first().toObject()["iteration"].toInt(), 1);
        QCOMPARE(report()["series"].toArray().size(), 30);

        holdOutEveryThird(1);
        setup.net.maxBatches = 35;
        CountingEngine third(setup.net, &now);
        third.startAt(120);
        const Outcome renewed = run(third);
        QVERIFY(renewed.lines.first().startsWith("validation: the held-out images are not those the best so far"));
        QCOMPARE(testutil::readBytes(backup + "/train.best"), QByteArray("140"));
        QCOMPARE(report()["validation"].toObject()["evaluations"].toArray().size(), 1);
        QCOMPARE(report()["series"].toArray().size(), 35);
    }
};

QTEST_GUILESS_MAIN(TrainingRunTest)
#include "test_training_run.moc"
