// The training run: launching, following, stopping and exporting the darknet trainer.
#include "dialog_ruzerizozize.h"
#include "ui_dialog_ruzerizozize.h"

#include "atomic_file.h"
#include "global_vela_lib_yolo.h"
#include "interface_paths.h"
#include "training_folder.h"
#include "training_output_parser.h"
#include "user_prompt.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QScrollBar>

#include <algorithm>
#include <cstdio>

namespace {

// Bytes up to the first NUL, as UTF-8 (fromUtf8() without a size stops there).
QString decodeOutput(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes.constData());
}

// The lines of a list file written by generation (joined by "\n", none after the last; an empty
// file lists nothing). False when it cannot be read.
bool listLines(const QString& path, qint64* lines)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = file.readAll();
    *lines = text.isEmpty() ? 0 : text.count('\n') + (text.endsWith('\n') ? 0 : 1);
    return true;
}

// Why path cannot be read as a weight file, or empty when it can.
QString notAWeightFile(const QString& path)
{
    const QFileInfo info(path);
    if (path.isEmpty())
        return QStringLiteral("is not chosen");
    if (!info.exists())
        return QStringLiteral("does not exist");
    if (info.isDir())
        return QStringLiteral("is a folder");
    if (!info.isFile())
        return QStringLiteral("is no regular file (a FIFO, socket or device)");
    if (!info.isReadable())
        return QStringLiteral("cannot be read");
    return QString();
}

} // namespace

void DialogRuzerizOzize::on_pushButton_train_clicked()
{
    if (ui->pushButton_train->text() != QLatin1String("Start")) {
        stop_train();
        return;
    }
    launchRetryTimer.stop();
    trainingRefused = false;
    if (!takeTrainingLock())
        return;
    if (!launchTraining() && trainProcess->state() == QProcess::NotRunning)
        trainLock.release();
}

bool DialogRuzerizOzize::takeTrainingLock()
{
    if (trainLock.tryLock() || !trainLock.takenByAnother()) {
        // Free, or no lock file can be made here: nothing to wait for either way.
        waitingForOtherRun.invalidate();
        return true;
    }
    // Another forgewright trains from this interface folder: its next tick finds the stop file
    // and ends it; this start waits until it has, so the two never write the same backup.
    AtomicFile::touch(InterfacePaths::trainerStop());
    if (!waitingForOtherRun.isValid()) {
        waitingForOtherRun.start();
        qWarning().noquote() << QStringLiteral("another training (process %1) runs from this interface folder: asked "
                                               "it to stop; this one starts once it has")
                                    .arg(trainLock.holder());
    }
    if (waitingForOtherRun.elapsed() > kOtherRunStopMs) {
        waitingForOtherRun.invalidate();
        refuseTraining(QStringLiteral("another training (process %1) from this interface folder did not stop within "
                                      "%2 s; nothing is started")
                           .arg(trainLock.holder())
                           .arg(kOtherRunStopMs / 1000));
        return false;
    }
    launchRetryTimer.start(250);
    return false;
}

void DialogRuzerizOzize::refuseTraining(const QString& reason)
{
    trainingRefused = true;
    qWarning().noquote() << "training refused:" << reason;
    writeTrainEnd(1, reason);
    // Nobody is there to read the window: a batch run ends, and says so in its exit code. (Before
    // the event loop runs, the window's start-up reads trainingRefused instead.)
    if (exitOnStop) {
        stopFileTimer.stop();
        QCoreApplication::exit(1);
    }
}

bool DialogRuzerizOzize::launchTraining()
{
    QFile::remove(InterfacePaths::trainerStop());
    iteration = 0;
    isGpu = false;
    avgLoss = 999.0;
    accuracy = 0;
    stopRequested = false;
    trainerEndReason.clear();
    trainerErrorLine.clear();
    trainerErrorPartial.clear();
    trainerBackend.clear();
    stopFileTimer.stop();
    hasValidation = false;
    valAccuracy = bestValAccuracy = 0;
    valIteration = 0;
    ui->label_val_acc->clear();
    if (!requestedGenPath.isEmpty() && exitOnStop) {
        // Training in the folder that stood before would train on another generation.
        refuseTraining("the generation folder " + requestedGenPath + " does not exist; nothing is started");
        return false;
    }
    if (genPath.isEmpty()) {
        if (exitOnStop)
            refuseTraining(QStringLiteral("no generation folder is chosen; nothing is started"));
        return false;
    }
    emit settingsUsed();
    ui->label_avg_loss->setText(QString());
    ui->label_iteration->setText(QString());

    const QString dataGen = TrainingFolder::folderIn(genPath);
    QString version = QStringLiteral("0");
    QFile versionFile(dataGen + "/version");
    if (versionFile.open(QIODevice::ReadOnly)) {
        const QString text = QString::fromUtf8(versionFile.readAll());
        if (!text.isEmpty())
            version = text;
        ui->label_model_name->setText(text.split(QLatin1Char(':')).last());
    }
    ui->textEdit_train_console->clear();

    const QString chosen = ui->comboBox_model->currentText();
    const QString generated = version.contains(QLatin1Char(':')) ? version.split(QLatin1Char(':')).at(1) : version;
    if (chosen != generated && askToSwitchModel(generated, chosen) == QMessageBox::Yes) {
        version = rewriteConfigurations(dataGen, chosen);
        moveBackupAside(dataGen, generated);
    }
    if (version.startsWith(QLatin1String("0:")))
        ui->textEdit_train_console->append("Train with model " + version + "\n");

    isGpu = GlobalVelaLibYolo::GlobalVelaLibYoloObject.is_gpu_ok();
    QStringList arguments{QStringLiteral("vela_lib_yolo"),
                          isGpu ? QStringLiteral("darknet_") : QStringLiteral("darknet_cpu_")};
    arguments << "classifier" << "train" << TrainingFolder::relativePath(QStringLiteral("data.data"))
              << TrainingFolder::relativePath(QStringLiteral("train.cfg"));

    QString weights;
    if (!continuationWeights(dataGen, &weights))
        return false;
    if (!weights.isEmpty()) {
        arguments << weights;
        std::printf("continue training : %s\n", weights.toUtf8().constData());
        std::fflush(stdout);
    }
    const int patience = usablePatience();
    if (patience > 0)
        arguments << QStringLiteral("-patience") << QString::number(patience);
    arguments << QStringLiteral("-dont_show");
    // A budget of epochs, or patience, gives the run an end of its own.
    endsByItself = ui->spinBox_epochs->value() > 0 || patience > 0;

    trainProcess->setWorkingDirectory(genPath);
    // Program and arguments are passed as a list: a weights path keeps its blanks and quotes.
    trainProcess->start(QStringLiteral("rosrun"), arguments, QIODevice::ReadWrite);
    return true;
}

int DialogRuzerizOzize::usablePatience() const
{
    const int patience = ui->spinBox_patience->value();
    if (patience > 0 && ui->spinBox_valid_percent->value() == 0) {
        qWarning().noquote() << "patience:" << patience
                             << "needs validation (valid_percent above 0); it has no effect";
        return 0;
    }
    return patience;
}

QMessageBox::StandardButton DialogRuzerizOzize::askToSwitchModel(const QString& generated, const QString& chosen)
{
    const QString question =
        "Generate model not match. Do you want to change model from " + generated + " to " + chosen + " ?";
    if (exitOnStop) {
        // A batch run has nobody at the screen: the model it was asked for is the one to train.
        qDebug().noquote() << question << "-> Yes (batch run, nobody to ask)";
        return QMessageBox::Yes;
    }
    return UserPrompt::question(this, QStringLiteral("Training.."), question, QMessageBox::Yes | QMessageBox::No,
                                QMessageBox::NoButton, QMessageBox::Yes);
}

QString DialogRuzerizOzize::rewriteConfigurations(const QString& dataGen, const QString& model)
{
    QFile::remove(dataGen + "/train.cfg");
    QFile::remove(dataGen + "/test.cfg");
    QFile::remove(dataGen + "/version");

    const QString version = writeModelFiles(dataGen, model, ui->spinBox_batch_size->value(),
                                            ui->spinBox_subdivisions->value(), generatedClassCount(dataGen),
                                            generatedTrainingImages(dataGen));
    ui->label_model_name->setText(model);
    return version;
}

bool DialogRuzerizOzize::continuationWeights(const QString& dataGen, QString* weights)
{
    weights->clear();
    if (!ui->groupBox_continue_train->isChecked())
        return true;
    if (ui->radioButton_continue_train_default->isChecked()) {
        const QString backup = dataGen + "/backup/train.backup";
        if (QFile::exists(backup))
            *weights = backup;
        return true;
    }
    if (!ui->radioButton_continue_train_custom_weight->isChecked())
        return true;
    if (exitOnStop) {
        // Nobody can pick a file in a batch run: the weight file of the saved settings is used.
        const QString problem = notAWeightFile(customWeight);
        if (!problem.isEmpty()) {
            refuseTraining("continue training: the custom weight file " + customWeight + " " + problem +
                           "; nothing is started");
            return false;
        }
        *weights = customWeight;
        return true;
    }
    const QString picked =
        UserPrompt::openFileName(this, QStringLiteral("Continue training : Select weight"), customWeight,
                                 QStringLiteral("Weight Files (*.weights *.backup)"), QFileDialog::DontUseNativeDialog);
    if (picked.isEmpty() || !QFileInfo(picked).isFile())
        return false;
    customWeight = picked;
    *weights = picked;
    ui->label_custom_wg->setText(picked);
    return true;
}

void DialogRuzerizOzize::stop_train()
{
    stopRequested = true;
    trainProcess->terminate();
    if (!exitOnStop)
        return;
    if (trainProcess->state() == QProcess::NotRunning) {
        QCoreApplication::exit(0);
        return;
    }
    // The trainer ends within one subdivision and writes its backup on the way out; a batch run
    // exits only once it is gone (trainerFinished), so the notebook never finds a half-written
    // backup nor an orphaned trainer. The tick runs on meanwhile and keeps the log fresh.
    exitWhenTrainerEnds = true;
}

int DialogRuzerizOzize::generatedClassCount(const QString& dataGen) const
{
    qint64 lines = 0;
    return listLines(dataGen + "/labels.txt", &lines) ? int(lines) : int(classFiles.size());
}

qint64 DialogRuzerizOzize::generatedTrainingImages(const QString& dataGen) const
{
    qint64 lines = 0;
    return listLines(dataGen + "/train.list", &lines) ? lines : 0;
}

void DialogRuzerizOzize::moveBackupAside(const QString& dataGen, const QString& model)
{
    const QString backup = dataGen + "/backup/train.backup";
    if (!QFileInfo::exists(backup))
        return;
    QString name = model;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    QString target = dataGen + "/backup/train." + name + ".backup";
    // Nothing is deleted: an earlier backup of the same model keeps its name.
    for (int n = 1; QFileInfo::exists(target); ++n)
        target = dataGen + "/backup/train." + name + "." + QString::number(n) + ".backup";
    if (!QFile::rename(backup, target))
        qWarning().noquote() << "could not move" << backup << "aside to" << target;
}

void DialogRuzerizOzize::trainerFinished(int exitCode, QProcess::ExitStatus status)
{
    if (exitWhenTrainerEnds) {
        exitWhenTrainerEnds = false;
        QCoreApplication::exit(0);
        return;
    }
    if (stopRequested)
        return;
    noteTrainerErrors(QStringLiteral("\n")); // an unfinished last line counts too
    // A signal's end reads as the shell shows it: 128 + the signal number.
    const int code = status == QProcess::CrashExit ? 128 + exitCode : exitCode;
    // A trainer ended by a signal said nothing about why: its last line (often "Saving
    // weights to ...") is no reason. Only its own "error:" line is.
    const bool saidError = trainerErrorLine.startsWith(QLatin1String("error:"));
    QString reason = trainerErrorLine;
    if (code == 0)
        reason = trainerEndReason.isEmpty() ? QStringLiteral("finished") : trainerEndReason;
    else if (!saidError && status == QProcess::CrashExit)
        reason = QStringLiteral("the trainer was ended by signal %1").arg(exitCode);
    else if (reason.isEmpty())
        reason = QStringLiteral("the trainer exited with code %1").arg(exitCode);
    writeTrainEnd(code, reason);
    // A run that was set to end by itself has done what it was started for: a batch run need
    // not wait for a stop file that nobody will write.
    if (code == 0 && endsByItself && exitOnStop) {
        stopFileTimer.stop();
        QCoreApplication::exit(0);
    }
}

void DialogRuzerizOzize::trainerFailedToStart(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart)
        return;
    writeTrainEnd(127, "the trainer could not be started: " + trainProcess->errorString());
}

void DialogRuzerizOzize::writeTrainEnd(int code, const QString& reason)
{
    QJsonObject end = progressFields(runClock.nsecsElapsed() / 1000000000);
    end["code"] = code;
    end["reason"] = reason;
    show_log(QJsonObject{{"train_end", end}});
    // Nobody may be at the screen: the notebook's stop file still ends a batch run.
    if (exitOnStop)
        stopFileTimer.start(500);
}

QJsonObject DialogRuzerizOzize::progressFields(qint64 seconds) const
{
    return QJsonObject{{"intr", iteration},
                       {"avg", avgLoss},
                       {"acc", accuracy},
                       {"time_sec", seconds}};
}

void DialogRuzerizOzize::pollStopFileAfterEnd()
{
    if (trainProcess->state() != QProcess::NotRunning || !QFile::exists(InterfacePaths::trainerStop()))
        return;
    QFile::remove(InterfacePaths::trainerStop());
    stopFileTimer.stop();
    stop_train();
}

void DialogRuzerizOzize::noteTrainerErrors(const QString& text)
{
    QStringList lines = (trainerErrorPartial + text).split(QLatin1Char('\n'));
    trainerErrorPartial = lines.takeLast();
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty())
            continue;
        // The trainer's own "error:" line outranks whatever else it printed later.
        if (line.startsWith(QLatin1String("error:")) || !trainerErrorLine.startsWith(QLatin1String("error:")))
            trainerErrorLine = line;
    }
}

void DialogRuzerizOzize::processStateChanged(QProcess::ProcessState state)
{
    if (state == QProcess::Starting)
        return;
    const bool running = state == QProcess::Running;
    ui->pushButton_train->setText(running ? QStringLiteral("Stop") : QStringLiteral("Start"));
    ui->pushButton_browse->setEnabled(!running);
    ui->pushButton_gen->setEnabled(!running);
    ui->groupBox_continue_train->setEnabled(!running);
    if (running) {
        tickTimer.start(1000);
        runClock.restart();
    } else {
        ui->textEdit_train_console->append(QStringLiteral("\n############ Stopped ##############"));
        // The end of the run is what the user looks for, wherever the log was scrolled to.
        QScrollBar* scroll = ui->textEdit_train_console->verticalScrollBar();
        scroll->setValue(scroll->maximum());
        tickTimer.stop();
        // The backup is written; the next start from this interface folder may go ahead. A
        // batch run keeps the lock until it exits: it still answers the stop file, which the
        // next start would otherwise take away before it is seen.
        if (!exitOnStop)
            trainLock.release();
    }
}

void DialogRuzerizOzize::stdoutReady()
{
    if (!trainProcess->canReadLine())
        return;
    if (ui->textEdit_train_console->toPlainText().split(QLatin1Char('\n')).size() > 200)
        ui->textEdit_train_console->clear();
    const QString text = decodeOutput(trainProcess->readAllStandardOutput());
    ui->textEdit_train_console->append(text);

    const TrainingOutputReading reading = TrainingOutputParser::parse(text);
    if (trainerBackend.isEmpty())
        trainerBackend = TrainingOutputParser::trainsOn(text);
    const QString endReason = TrainingOutputParser::endReason(text);
    if (!endReason.isEmpty())
        trainerEndReason = endReason;
    if (reading.hasIteration) {
        ui->label_iteration->setText("iteration :" + reading.iterationText);
        iteration = reading.iteration;
    }
    if (reading.hasAverageLoss) {
        ui->label_avg_loss->setText(reading.averageLossLabel);
        avgLoss = reading.averageLoss;
    }
    if (reading.hasAccuracy) {
        ui->label_acc->setText(reading.accuracyLabel);
        accuracy = reading.accuracy;
    }
    if (reading.hasValidation) {
        valAccuracy = reading.validationAccuracy;
        valIteration = reading.validationIteration;
        bestValAccuracy = hasValidation ? std::max(bestValAccuracy, valAccuracy) : valAccuracy;
        hasValidation = true;
        ui->label_val_acc->setText(reading.validationLabel +
                                   QStringLiteral("  (best %1 %)").arg(bestValAccuracy, 0, 'f', 2));
    }
}

void DialogRuzerizOzize::stderrReady()
{
    const QString text = decodeOutput(trainProcess->readAllStandardError());
    ui->textEdit_train_console->append(text);
    noteTrainerErrors(text);
}

void DialogRuzerizOzize::updateTimeElape()
{
    const qint64 seconds = runClock.nsecsElapsed() / 1000000000;
    const QString time = TrainingOutputParser::elapsedText(seconds);
    ui->label_time_elape->setText(time);

    QJsonObject state = progressFields(seconds);
    state["time_str"] = time;
    // What the trainer says it trains on; the executable's kind only until it has said so.
    state["backend"] = !trainerBackend.isEmpty() ? trainerBackend : QString(isGpu ? "GPU" : "CPU");
    if (hasValidation) {
        state["val_acc"] = valAccuracy;
        state["val_intr"] = valIteration;
        state["best_val_acc"] = bestValAccuracy;
    }
    show_log(QJsonObject{{"train_state", state}});

    if (QFile::exists(InterfacePaths::trainerStop())) {
        QFile::remove(InterfacePaths::trainerStop());
        stop_train();
    }
}

void DialogRuzerizOzize::on_pushButton_export_clicked()
{
    const QString dataGen = TrainingFolder::folderIn(genPath);
    // With validation the best evaluated weights are the model; without, the latest backup.
    const QString best = dataGen + "/backup/train.best";
    const bool takeBest = ui->spinBox_valid_percent->value() > 0 && QFile::exists(best);
    const QList<QPair<QString, QString> > files = {{takeBest ? best : dataGen + "/backup/train.backup", "/train.weights"},
                                                   {dataGen + "/names.list", "/names.list"},
                                                   {dataGen + "/test.cfg", "/test.cfg"}};
    const auto missing =
        std::find_if(files.cbegin(), files.cend(), [](const auto& file) { return !QFile::exists(file.first); });
    if (missing != files.cend()) {
        ui->textEdit_train_console->append("Export: nothing exported, " + missing->first + " does not exist");
        return;
    }
    const QString folder = UserPrompt::existingDirectory(
        this, QStringLiteral("Select folder to export weights files"), genPath,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks | QFileDialog::DontUseNativeDialog);
    if (folder.isEmpty())
        return;
    for (const auto& file : files) {
        const QString target = folder + file.second;
        if (AtomicFile::copy(file.first, target)) {
            ui->textEdit_train_console->append("Export: " + file.first + " -> " + target);
            continue;
        }
        qWarning().noquote() << "export: could not copy" << file.first << "to" << target;
        ui->textEdit_train_console->append("Export: could not copy " + file.first + " to " + target);
    }
}
