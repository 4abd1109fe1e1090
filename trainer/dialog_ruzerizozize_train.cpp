// The training run: launching, following, stopping and exporting the darknet trainer.
#include "dialog_ruzerizozize.h"
#include "ui_dialog_ruzerizozize.h"

#include "global_vela_lib_yolo.h"
#include "interface_paths.h"
#include "model_data.h"
#include "model_template.h"
#include "training_output_parser.h"
#include "user_prompt.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <cstdio>

namespace {

QString dataGenFolder(const QString& genPath)
{
    return genPath + (genPath.endsWith(QLatin1Char('/')) ? "" : "/") + "data_gen";
}

// Bytes up to the first NUL, as UTF-8.
QString decodeOutput(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

// Copies whole or not at all: a reader never finds a truncated target that looks complete.
bool copyWhole(const QString& source, const QString& target)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    QSaveFile out(target);
    out.setDirectWriteFallback(false);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk;
    while (!(chunk = in.read(1 << 20)).isEmpty()) {
        if (out.write(chunk) != chunk.size()) {
            out.cancelWriting();
            return false;
        }
    }
    if (in.error() != QFileDevice::NoError) {
        out.cancelWriting();
        return false;
    }
    return out.commit();
}

} // namespace

void DialogRuzerizOzize::on_pushButton_train_clicked()
{
    if (ui->pushButton_train->text() != QLatin1String("Start")) {
        stop_train();
        return;
    }
    if (QFile::exists(InterfacePaths::trainerStop()))
        QFile::remove(InterfacePaths::trainerStop());
    iteration = 0;
    isGpu = false;
    avgLoss = 999.0;
    accuracy = 0;
    hasValidation = false;
    valAccuracy = bestValAccuracy = 0;
    valIteration = 0;
    ui->label_val_acc->clear();
    if (genPath.isEmpty())
        return;
    ui->label_avg_loss->setText(QString());
    ui->label_iteration->setText(QString());

    const QString dataGen = dataGenFolder(genPath);
    QString version = QStringLiteral("0");
    QFile versionFile(dataGen + "/version");
    if (versionFile.open(QIODevice::ReadOnly)) {
        const QString text = QString::fromUtf8(versionFile.readAll());
        if (!text.isEmpty())
            version = text;
        ui->label_model_name->setText(text.split(QLatin1Char(':')).last());
        versionFile.close();
    }
    ui->textEdit_train_console->clear();

    const QString chosen = ui->comboBox_model->currentText();
    const QString generated = version.contains(QLatin1Char(':')) ? version.split(QLatin1Char(':')).at(1) : version;
    if (chosen != generated && askToSwitchModel(generated, chosen) == QMessageBox::Yes)
        version = rewriteConfigurations(dataGen, chosen);
    if (version.startsWith(QLatin1String("0:")))
        ui->textEdit_train_console->append("Train with model " + version + "\n");

    QStringList arguments{QStringLiteral("vela_lib_yolo")};
    if (GlobalVelaLibYolo::GlobalVelaLibYoloObject.is_gpu_ok()) {
        isGpu = true;
        arguments << QStringLiteral("darknet_");
    } else {
        arguments << QStringLiteral("darknet_cpu_");
    }
    arguments << "classifier" << "train" << "data_gen/data.data" << "data_gen/train.cfg";

    QString weights;
    if (!continuationWeights(dataGen, &weights))
        return;
    if (!weights.isEmpty()) {
        arguments << weights;
        std::printf("continue training : %s\n", weights.toUtf8().constData());
        std::fflush(stdout);
    }
    arguments << QStringLiteral("-dont_show");

    trainProcess->setWorkingDirectory(genPath);
    // Program and arguments are passed as a list: a weights path keeps its blanks and quotes.
    trainProcess->start(QStringLiteral("rosrun"), arguments, QIODevice::ReadWrite);
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

    const MD md = ModelData().models.value(model);
    const ModelTemplate::Configs configs = ModelTemplate::instantiate(
        md, ui->spinBox_batch_size->value(), ui->spinBox_subdivisions->value(), int(classFiles.size()));
    if (configs.opened) {
        writeTextFile(dataGen + "/train.cfg", configs.train);
        writeTextFile(dataGen + "/test.cfg", configs.test);
    }
    const QString version = QString::number(md.family) + ":" + model;
    writeTextFile(dataGen + "/version", version);
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
        if (!QFileInfo(customWeight).isFile()) {
            qWarning().noquote() << "continue training: the custom weight file" << customWeight
                                 << "does not exist; nothing is started";
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
    trainProcess->terminate();
    if (!exitOnStop)
        return;
    // The trainer finishes its iteration and writes its backup on the way out; a batch run
    // returns only once that is on disk, so the notebook never finds a half-written backup.
    if (trainProcess->state() != QProcess::NotRunning && !trainProcess->waitForFinished(kStopGraceMs))
        qWarning() << "the trainer did not end within" << kStopGraceMs / 1000 << "s of the stop request";
    QCoreApplication::exit(0);
}

void DialogRuzerizOzize::processStateChanged(QProcess::ProcessState state)
{
    if (state == QProcess::Running) {
        ui->pushButton_train->setText(QStringLiteral("Stop"));
        ui->pushButton_browse->setEnabled(false);
        ui->pushButton_gen->setEnabled(false);
        ui->groupBox_continue_train->setEnabled(false);
        tickTimer.start(1000);
        runClock.restart();
    } else if (state == QProcess::NotRunning) {
        ui->pushButton_train->setText(QStringLiteral("Start"));
        ui->pushButton_browse->setEnabled(true);
        ui->pushButton_gen->setEnabled(true);
        ui->textEdit_train_console->append(QStringLiteral("\n############ Stopped ##############"));
        ui->groupBox_continue_train->setEnabled(true);
        tickTimer.stop();
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
        ui->label_val_acc->setText(reading.validationLabel);
        valAccuracy = reading.validationAccuracy;
        valIteration = reading.validationIteration;
        bestValAccuracy = hasValidation ? std::max(bestValAccuracy, valAccuracy) : valAccuracy;
        hasValidation = true;
    }
}

void DialogRuzerizOzize::stderrReady()
{
    ui->textEdit_train_console->append(decodeOutput(trainProcess->readAllStandardError()));
}

void DialogRuzerizOzize::updateTimeElape()
{
    const qint64 seconds = runClock.nsecsElapsed() / 1000000000;
    const QString time = TrainingOutputParser::elapsedText(seconds);
    ui->label_time_elape->setText(time);

    QJsonObject state;
    state["time_str"] = time;
    state["time_sec"] = seconds;
    state["avg"] = avgLoss;
    state["intr"] = iteration;
    state["acc"] = accuracy;
    state["backend"] = isGpu ? "GPU" : "CPU";
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
    const QString dataGen = dataGenFolder(genPath);
    // With validation the best evaluated weights are the model; without, the latest backup.
    const QString best = dataGen + "/backup/train.best";
    const bool takeBest = ui->spinBox_valid_percent->value() > 0 && QFile::exists(best);
    const QList<QPair<QString, QString> > files = {{takeBest ? best : dataGen + "/backup/train.backup", "/train.weights"},
                                                   {dataGen + "/names.list", "/names.list"},
                                                   {dataGen + "/test.cfg", "/test.cfg"}};
    for (const auto& file : files) {
        if (!QFile::exists(file.first))
            return;
    }
    const QString folder = UserPrompt::existingDirectory(
        this, QStringLiteral("Select folder to export weights files"), genPath,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks | QFileDialog::DontUseNativeDialog);
    if (folder.isEmpty())
        return;
    for (const auto& file : files) {
        if (!copyWhole(file.first, folder + file.second))
            qWarning().noquote() << "export: could not copy" << file.first << "to" << folder + file.second;
    }
}
