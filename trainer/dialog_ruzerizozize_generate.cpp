// Generation of the darknet training folder data_gen.
#include "dialog_ruzerizozize.h"
#include "ui_dialog_ruzerizozize.h"

#include "atomic_file.h"
#include "augmentation_settings.h"
#include "augmentation_transforms.h"
#include "dialog_augmentation.h"
#include "epoch_schedule.h"
#include "generation_estimate.h"
#include "interface_paths.h"
#include "model_data.h"
#include "model_template.h"
#include "ordered_worker_pool.h"
#include "picture_file.h"
#include "random_img.h"
#include "sample_writer.h"
#include "training_folder.h"
#include "user_prompt.h"
#include "validation_split.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QJsonArray>
#include <QThread>

#include <opencv2/core/utility.hpp>

#include <atomic>
#include <ctime>
#include <iostream>
#include <random>

namespace {

// How long the GUI thread waits for the next sample before it turns its event loop again.
constexpr int kEventTurnMs = 20;

void processEvents()
{
    QCoreApplication::processEvents();
}

// Distinct seeds for the per-thread generators (Qt's qrand, OpenCV's theRNG) of each worker, so
// that parallel workers do not draw the same rotation borders and noise.
void seedWorkerThread(int threadIndex)
{
    const unsigned now = unsigned(time(nullptr));
    const unsigned salt = 0x9E3779B9u * unsigned(threadIndex + 1);
    AugmentationTransforms::seedRotationColours(now ^ salt);
    cv::theRNG().state = (uint64(now) << 32) ^ uint64(salt) ^ 0x2545F4914F6CDD1DULL;
}

// Sets OpenCV's thread count for the life of the object, then puts the previous one back.
class OpenCvThreadsForRun
{
public:
    explicit OpenCvThreadsForRun(int threads) : previous(cv::getNumThreads()) { cv::setNumThreads(threads); }
    ~OpenCvThreadsForRun() { cv::setNumThreads(previous); }
    OpenCvThreadsForRun(const OpenCvThreadsForRun&) = delete;
    OpenCvThreadsForRun& operator=(const OpenCvThreadsForRun&) = delete;

private:
    const int previous;
};

// Worker threads of a run: as requested, or one per core.
int workerCount(int requested)
{
    return requested > 0 ? requested : std::max(QThread::idealThreadCount(), 1);
}

// The classes of the samples of which no picture was written, neither to train nor held out.
QStringList classesWithoutPictures(const QVector<TrainingFolder::Sample>& samples,
                                   const TrainingFolder::ClassEntries& written, const TrainingFolder::ClassEntries& held)
{
    QStringList empty;
    for (const TrainingFolder::Sample& sample : samples) {
        if (!written.contains(sample.className) && !held.contains(sample.className) && !empty.contains(sample.className))
            empty << sample.className;
    }
    empty.sort();
    return empty;
}

void writeNoiseImage(const QString& path)
{
    const int side = TrainingFolder::kFixedSide;
    cv::Mat noise(side, side, CV_8UC3);
    cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(255));
    PictureFile::write(path, noise);
}

} // namespace

void DialogRuzerizOzize::on_pushButton_gen_clicked()
{
    if (ui->pushButton_gen->text() != QLatin1String("Generate")) {
        // A run is going on: this click asks to stop it.
        if (!genAugWorker)
            return;
        const QMessageBox::StandardButton answer =
            UserPrompt::question(this, tr("Generating..."), tr("Do you want to stop generating ?"),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton, QMessageBox::No);
        // The run may have moved past its samples while the question was open.
        if (answer == QMessageBox::Yes && genAugWorker) {
            genAugWorker->running = false;
            ui->progressBar_gen->setStyleSheet(progressStyleStopped);
        }
        return;
    }
    // A generation folder the state asked for is made now rather than replaced by another.
    if (!requestedGenPath.isEmpty() && QDir().mkpath(requestedGenPath)) {
        genPath = requestedGenPath;
        ui->label_gen->setText(genPath);
        requestedGenPath.clear();
    }
    const QString refusal = generationRefusal(genPath);
    if (!refusal.isEmpty()) {
        refuseGeneration(refusal);
        return;
    }
    emit settingsUsed();
    ui->pushButton_gen->setText(QStringLiteral("Generating..."));
    ui->progressBar_gen->setStyleSheet(progressStyleRunning);
    ui->pushButton_train->setEnabled(false);
    ui->pushButton_export->setEnabled(false);
    generate(genPath);
    ui->pushButton_train->setEnabled(true);
    ui->pushButton_export->setEnabled(true);
    ui->pushButton_gen->setText(QStringLiteral("Generate"));
}

QString DialogRuzerizOzize::generationRefusal(const QString& genFolder)
{
    if (!requestedGenPath.isEmpty())
        return "the generation folder " + requestedGenPath + " does not exist and cannot be created";
    if (genFolder.isEmpty())
        return QStringLiteral("no generation folder is chosen");
    if (classFiles.isEmpty() && !requestedProject.isEmpty())
        return "nothing to generate: the project folder " + requestedProject + " does not exist";
    if (classFiles.isEmpty() && prjPath.isEmpty())
        return QStringLiteral("nothing to generate: no project folder is chosen");
    if (classFiles.isEmpty())
        return "nothing to generate: the project folder " + prjPath + " holds no class folder with pictures";
    return TrainingFolder::nestingProblem(prjPath, genFolder);
}

void DialogRuzerizOzize::refuseGeneration(const QString& reason)
{
    generationFailed = true;
    qWarning().noquote() << "generation refused:" << reason;
    show_log(QJsonObject{{"gen_error", reason}});
}

bool DialogRuzerizOzize::keepOldBackup(const QString& root, const QString& genFolder, QString* movedTo)
{
    movedTo->clear();
    const QString backup = root + QStringLiteral("/backup");
    if (QDir(backup).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
        return true; // no backup folder, or nothing in it
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString target = genFolder + QStringLiteral("/backups/") + stamp;
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = genFolder + QStringLiteral("/backups/") + stamp + QLatin1Char('-') + QString::number(n);
    if (!QDir().mkpath(genFolder + QStringLiteral("/backups")) || !QDir().rename(backup, target))
        return false;
    *movedTo = target;
    qWarning().noquote() << "the weights and report of the earlier training were moved to" << target;
    return true;
}

void DialogRuzerizOzize::generate(const QString& genFolder)
{
    generationFailed = false;
    firstRecordExtras = QJsonObject();
    if (!QDir(genFolder).exists() && !QDir().mkpath(genFolder)) {
        refuseGeneration("the generation folder " + genFolder + " does not exist and cannot be created");
        return;
    }
    const QString refusal = generationRefusal(genFolder);
    if (!refusal.isEmpty()) {
        refuseGeneration(refusal);
        return;
    }

    const QString root = TrainingFolder::folderIn(genFolder);

    // The worker threads are the parallelism: OpenCV's own threads inside each of them would
    // only compete for the same cores (and would break a run limited to one thread).
    const OpenCvThreadsForRun openCvThreads(1);

    TrainingFolder::ClassFiles classes = classFiles;
    const QString extension = ui->radioButton_png->isChecked() ? QStringLiteral(".png") : QStringLiteral(".jpg");
    const int unknownClasses = ui->spinBox_unknown_class->value();
    const bool useRandomClass = ui->checkBox_use_random_class->isChecked();
    const bool useBalancing = ui->checkBox_use_class_balancing->isChecked();
    const QString modelName = ui->comboBox_model->currentText();
    const int batch = ui->spinBox_batch_size->value();
    const int validPercent = ui->spinBox_valid_percent->value();
    const int subdivisions = ui->spinBox_subdivisions->value();

    SampleWriter::Settings writerSettings;
    writerSettings.trainFolder = root + QStringLiteral("/train");
    writerSettings.extension = extension;
    writerSettings.size = ui->spinBox_gen_size->value();
    writerSettings.augment = ui->checkBox_use_augment->isChecked();
    writerSettings.augmentation = AugmentationSettings::fromState(augState);

    // Settings whose output cannot fit leave everything as it was, the old data_gen included.
    const GenerationEstimate::Estimate planned =
        GenerationEstimate::estimate(classes, writerSettings, unknownClasses, useRandomClass, validPercent);
    const QString shortage = GenerationEstimate::shortage(planned, genFolder, InterfacePaths::root());
    if (!shortage.isEmpty()) {
        generationFailed = true;
        show_log(QJsonObject{{"gen_error", shortage}});
        return;
    }
    // Trained weights are worth hours; the new training folder starts without them, but they stay.
    QString movedBackup;
    if (!keepOldBackup(root, genFolder, &movedBackup)) {
        refuseGeneration("the backup folder " + root + "/backup holds the earlier training and cannot be moved to " +
                         genFolder + "/backups; nothing is replaced");
        return;
    }
    if (!movedBackup.isEmpty())
        firstRecordExtras["gen_backup_moved_to"] = movedBackup;
    const QStringList warnings = scanWarnings + stateWarnings;
    if (!warnings.isEmpty())
        firstRecordExtras["gen_warnings"] = QJsonArray::fromStringList(warnings);
    QDir(root).removeRecursively();

    if (unknownClasses >= 1) {
        const QString noisePath = InterfacePaths::noiseImage(extension);
        writeNoiseImage(noisePath);
        TrainingFolder::addUnknownClasses(classes, unknownClasses, QFileInfo(noisePath));
    }

    if (useRandomClass)
        classes[QLatin1String(TrainingFolder::kRandomClass)] = makeRandomClass(extension);

    AugmentationTransforms::seedRotationColours(unsigned(time(nullptr)));
    std::random_device entropy;
    std::mt19937 shuffler(entropy());

    // Held out before anything is augmented; with no validation share every image trains.
    const ValidationSplit::Parts parts = ValidationSplit::split(classes, validPercent, shuffler);
    QVector<TrainingFolder::Sample> samples = TrainingFolder::sampleList(parts.train);
    TrainingFolder::shuffle(samples, shuffler);
    const int heldFrom = samples.size();
    samples += TrainingFolder::sampleList(parts.held);
    SampleWriter::Settings heldSettings = writerSettings;
    heldSettings.trainFolder = root + QLatin1Char('/') + QLatin1String(ValidationSplit::kTestFolder);
    heldSettings.augment = false;

    for (const char* folder : {"", "/train", "/test", "/backup"})
        QDir().mkdir(root + QLatin1String(folder));

    const int classCount = classes.size();
    AtomicFile::writeText(root + QStringLiteral("/data.data"), TrainingFolder::dataFileText(classCount));

    const TrainingFolder::LabelTable labels = TrainingFolder::makeLabelTable(classes.keys());
    AtomicFile::writeText(root + QStringLiteral("/names.list"), labels.namesText);
    AtomicFile::writeText(root + QStringLiteral("/labels.txt"), labels.labelsText);

    TrainingFolder::ClassEntries held;
    const TrainingFolder::ClassEntries written =
        writeSamples(samples, labels.labelOf, writerSettings, planned.images, heldFrom, heldSettings, &held);

    const QStringList empty = classesWithoutPictures(samples, written, held);
    for (const QString& className : empty)
        qWarning().noquote() << "class" << className << ": none of its pictures could be read; it has no picture to train on";

    TrainingFolder::ClassEntries listed = written;
    if (useBalancing) {
        TrainingFolder::balance(listed);
        std::cout << "[ class balancing size ]\n";
        for (auto it = listed.cbegin(); it != listed.cend(); ++it)
            std::cout << "  " << it.key().toStdString() << " : " << it.value().size() << std::endl;
    }

    const QString trainingList = TrainingFolder::trainingListText(listed, shuffler);
    processEvents();
    AtomicFile::writeText(root + QStringLiteral("/train.list"), trainingList);
    AtomicFile::writeText(root + QStringLiteral("/test.list"),
                          heldFrom < samples.size() ? TrainingFolder::trainingListText(held, shuffler) : trainingList);
    qint64 trainingImages = 0;
    for (const QStringList& entries : listed)
        trainingImages += entries.size();
    writeModelFiles(root, modelName, batch, subdivisions, classCount, trainingImages);
    // The folder is complete, but a training on it would learn nothing.
    if (written.isEmpty() && held.isEmpty() && !samples.isEmpty())
        refuseGeneration("no picture of the project " + prjPath + " could be read");
}

QString DialogRuzerizOzize::writeModelFiles(const QString& root, const QString& modelName, int batch,
                                            int subdivisions, int classCount, qint64 trainingImages)
{
    const MD model = ModelData().models.value(modelName);
    const ModelTemplate::Configs configs = ModelTemplate::instantiate(model, batch, subdivisions, classCount);
    if (configs.opened) {
        AtomicFile::writeText(root + QStringLiteral("/train.cfg"), withEpochBudget(configs.train, trainingImages, batch));
        AtomicFile::writeText(root + QStringLiteral("/test.cfg"), configs.test);
    }
    const QString version = TrainingFolder::versionText(model.family, modelName);
    AtomicFile::writeText(root + QStringLiteral("/version"), version);
    return version;
}

QString DialogRuzerizOzize::withEpochBudget(const QString& trainCfg, qint64 trainingImages, int batch)
{
    const int epochs = ui->spinBox_epochs->value();
    const qint64 iterations = EpochSchedule::iterations(epochs, trainingImages, batch);
    if (iterations <= 0)
        return trainCfg; // no budget asked for, or nothing to train on: the template's schedule
    if (iterations <= EpochSchedule::kMostIterations)
        return EpochSchedule::fit(trainCfg, iterations);
    const QString warning = QStringLiteral("epochs: %1 epochs of %2 training images at batch %3 are %4 iterations, "
                                           "more than %5; the template's schedule is used")
                                .arg(epochs)
                                .arg(trainingImages)
                                .arg(batch)
                                .arg(iterations)
                                .arg(EpochSchedule::kMostIterations);
    qWarning().noquote() << warning;
    // The folder is written by now: the warning comes with the last progress value.
    show_log(QJsonObject{{"gen_progress", ui->progressBar_gen->value()}, {"gen_warnings", QJsonArray{warning}}});
    return trainCfg;
}

QList<QFileInfo> DialogRuzerizOzize::makeRandomClass(const QString& extension)
{
    const QString folder = InterfacePaths::randomClassFolder(instanceId);
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);

    QStringList paths;
    for (int j = 0; j < TrainingFolder::kRandomClassImages; ++j)
        paths << folder + QLatin1Char('/') + QString::number(j) + extension;

    QList<QFileInfo> files;
    const int threads = workerCount(generationThreads);
    OrderedWorkerPool<bool> pool(threads, 2 * threads, [&paths](int j) {
        RandomImg painter;
        return PictureFile::write(paths.at(j), painter.makeGarbageImage());
    });
    runInJobOrder(
        pool, paths.size(), kEventTurnMs, [] { return false; }, processEvents,
        [&](int j, bool) {
            files.append(QFileInfo(paths.at(j)));
            if (j % 50 == 0)
                processEvents();
        });
    return files;
}

TrainingFolder::ClassEntries DialogRuzerizOzize::writeSamples(const QVector<TrainingFolder::Sample>& samples,
                                                              const QMap<QString, QString>& labelOf,
                                                              const SampleWriter::Settings& settings,
                                                              long long plannedImages, int heldFrom,
                                                              const SampleWriter::Settings& heldSettings,
                                                              TrainingFolder::ClassEntries* heldWritten)
{
    TrainingFolder::ClassEntries written;
    ui->progressBar_gen->setValue(0);
    const int total = samples.size();
    if (total == 0)
        return written;

    // The editor holding this run's settings; a stop request clears its running flag, which
    // reaches the workers through stopRequested.
    genAugWorker = new DialogAugmentation(this);
    genAugWorker->restoreState(augState);
    genAugWorker->running = true;
    std::atomic<bool> stopRequested(false);
    const auto keepRunning = [&stopRequested] { return !stopRequested.load(); };
    const auto noticeStop = [&] {
        if (genAugWorker && !genAugWorker->running)
            stopRequested = true;
        return stopRequested.load();
    };

    const int threads = workerCount(generationThreads);
    OrderedWorkerPool<SampleWriter::Outcome> pool(
        threads, 2 * threads,
        [&](int index) {
            // A sample not started before a stop is not processed at all.
            if (stopRequested.load())
                return SampleWriter::Outcome();
            const TrainingFolder::Sample& sample = samples.at(index);
            return SampleWriter::write(sample.className, sample.path, labelOf.value(sample.className),
                                       index < heldFrom ? settings : heldSettings, keepRunning);
        },
        seedWorkerThread);

    // The first record of the run carries the number of images planned, the last one how many
    // sources were skipped as unreadable.
    int skipped = 0;
    bool totalReported = false;
    const auto report = [&](QJsonObject record, bool last) {
        if (!totalReported) {
            record["gen_total"] = double(plannedImages);
            for (auto it = firstRecordExtras.constBegin(); it != firstRecordExtras.constEnd(); ++it)
                record[it.key()] = it.value();
        }
        totalReported = true;
        if (last) {
            record["gen_skipped"] = skipped;
            const QStringList empty = classesWithoutPictures(samples, written, *heldWritten);
            if (!empty.isEmpty())
                record["gen_empty_classes"] = QJsonArray::fromStringList(empty);
        }
        show_log(record);
    };

    runInJobOrder(pool, total, kEventTurnMs, noticeStop, processEvents,
                  [&](int i, const SampleWriter::Outcome& outcome) {
                      if (!outcome.entries.isEmpty() && i < heldFrom)
                          written[samples.at(i).className] << outcome.entries;
                      for (const QString& entry : (i < heldFrom ? QStringList() : outcome.entries))
                          (*heldWritten)[samples.at(i).className] << ValidationSplit::testEntry(entry);
                      if (!outcome.readable && !stopRequested) {
                          ++skipped;
                          // A run that reported progress ends with a record; one that could
                          // read nothing reports nothing, as before.
                          if (i == total - 1 && totalReported)
                              report(QJsonObject{{"gen_progress", ui->progressBar_gen->value()}}, true);
                      }
                      // After a stop no progress is reported: a stopped run never reads as done.
                      if (!outcome.readable || stopRequested)
                          return;
                      if (i == total - 1) {
                          // Past the last sample there is nothing left to stop, and a run that
                          // reported its end must not turn red afterwards.
                          delete genAugWorker;
                          genAugWorker = nullptr;
                      }
                      const int progress = int(100LL * (i + 1) / total);
                      ui->progressBar_gen->setValue(progress);
                      report(QJsonObject{{"gen_progress", progress}}, i == total - 1);
                      processEvents();
                  });

    delete genAugWorker;
    genAugWorker = nullptr;
    return written;
}

void DialogRuzerizOzize::on_pushButton_browse_clicked()
{
    const QString dir = UserPrompt::existingDirectory(
        this, tr("Select Generate Folder"), genPath,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks | QFileDialog::DontUseNativeDialog);
    if (dir.isEmpty())
        return;
    genPath = dir;
    ui->label_gen->setText(dir);
    emit foldersChanged();
}
