#include "forgewright_main_window.h"
#include "ui_forgewright_main_window.h"

#include "atomic_file.h"
#include "dialog_ruzerizozize.h"
#include "interface_paths.h"
#include "usage_counter.h"
#include "user_prompt.h"
#include "window_placement.h"

#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cstdio>

namespace forgewright {

forgewright_main_window::forgewright_main_window(int argc, char** argv, QWidget* parent)
    : QMainWindow(parent), ui(new Ui::forgewright_main_window)
{
    ui->setupUi(this);
    ui->lineEdit_gen_dir->setText(InterfacePaths::defaultGenFolder());
    setWindowIcon(QIcon(QStringLiteral(":/forgewright/images/icon.png")));
    WindowPlacement::centreOnDesktop(this);

    QStringList words;
    for (int i = 1; i < argc; ++i)
        words << QString::fromUtf8(argv[i]);
    const bool batch = words.contains(QLatin1String("gen")) || words.contains(QLatin1String("train"));
    // Nobody answers boxes in a batch run; they would block it forever.
    UserPrompt::setBatchMode(batch);

    dlg_classif_train = new DialogRuzerizOzize(nullptr);
    connect(dlg_classif_train, &DialogRuzerizOzize::foldersChanged, this, &forgewright_main_window::showDialogFolders);

    QFile::remove(InterfacePaths::trainerLog());
    AtomicFile::touch(InterfacePaths::trainerStop());
    QDir().mkpath(InterfacePaths::defaultGenFolder());
    dlg_classif_train->genPath = ui->lineEdit_gen_dir->text();

    if (!QFile::exists(InterfacePaths::trainerState()))
        writeStateFile();
    const QString stateProblem = readStateFile();
    if (!stateProblem.isEmpty() && batch) {
        // Nobody is at the window of a batch run: it would wait there forever.
        refuseBatchRun(words, stateProblem);
        return;
    }
    if (!stateProblem.isEmpty()) {
        UserPrompt::setBatchMode(false);
        return;
    }
    if (batch) {
        for (const QString& warning : dlg_classif_train->stateWarnings)
            qWarning().noquote() << "state file:" << warning;
    } else {
        keepStateWhenInteractive();
    }
    runArguments(words);
}

void forgewright_main_window::refuseBatchRun(const QStringList& words, const QString& problem)
{
    const QString message = "the state file " + InterfacePaths::trainerState() + " " + problem + "; nothing is done";
    std::fprintf(stderr, "forgewright: %s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
    const int gen = words.indexOf(QLatin1String("gen"));
    const int train = words.indexOf(QLatin1String("train"));
    if (gen >= 0 && (train < 0 || gen < train))
        dlg_classif_train->show_log(QJsonObject{{"gen_error", message}});
    else
        dlg_classif_train->show_log(
            QJsonObject{{"train_end", QJsonObject{{"code", 1}, {"reason", message}, {"intr", 0}, {"avg", 999.0},
                                                  {"acc", 0}, {"time_sec", 0}}}});
    exitAfterGen = true;
    exitCode = 1;
}

forgewright_main_window::~forgewright_main_window()
{
    delete ui;
}

void forgewright_main_window::keepStateWhenInteractive()
{
    if (!stateRestored)
        return;
    keepsState = true;
    connect(dlg_classif_train, &DialogRuzerizOzize::settingsUsed, this, &forgewright_main_window::writeStateFile);
    connect(dlg_classif_train, &QDialog::finished, this, &forgewright_main_window::writeStateFile);
}

void forgewright_main_window::closeEvent(QCloseEvent* event)
{
    if (keepsState)
        writeStateFile();
    QMainWindow::closeEvent(event);
}

void forgewright_main_window::showDialogFolders()
{
    if (!dlg_classif_train->prjPath.isEmpty())
        ui->lineEdit_img_dir->setText(dlg_classif_train->prjPath);
    if (!dlg_classif_train->genPath.isEmpty())
        ui->lineEdit_gen_dir->setText(dlg_classif_train->genPath);
}

void forgewright_main_window::writeStateFile()
{
    QJsonObject state = dlg_classif_train->saveState();
    state["gen_path"] = ui->lineEdit_gen_dir->text();
    state["prj_path"] = ui->lineEdit_img_dir->text();
    // The indented JSON and one line end, written whole and without a shell, so that paths
    // holding $, backquotes or quotes reach the file unchanged.
    AtomicFile::write(InterfacePaths::trainerState(), QJsonDocument(state).toJson(QJsonDocument::Indented) + '\n');
}

QString forgewright_main_window::readStateFile()
{
    QFile file(InterfacePaths::trainerState());
    // A FIFO or a folder in its place would block the read or give nothing.
    if (file.exists() && !QFileInfo(file).isFile())
        return QStringLiteral("is no regular file");
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return QString();

    QJsonParseError error;
    const QByteArray bytes = file.readAll();
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        qDebug().noquote() << "fromJson failed: " + error.errorString();
        if (bytes.trimmed().isEmpty())
            return QStringLiteral("is empty");
        return QStringLiteral("is not valid JSON (%1 at byte %2)").arg(error.errorString()).arg(error.offset);
    }
    if (!document.isObject()) {
        qDebug() << "read json error";
        return QString();
    }
    const QJsonObject state = document.object();
    dlg_classif_train->restoreState(state);
    ui->lineEdit_img_dir->setText(state["prj_path"].toString());
    ui->lineEdit_gen_dir->setText(state["gen_path"].toString());
    stateRestored = true;
    return QString();
}

void forgewright_main_window::runArguments(const QStringList& words)
{
    for (const QString& word : words) {
        if (word == QLatin1String("gen")) {
            dlg_classif_train->on_pushButton_gen_clicked();
            exitAfterGen = true;
            exitCode = dlg_classif_train->generationFailed ? 1 : 0;
            break;
        }
        if (word == QLatin1String("train")) {
            dlg_classif_train->exitOnStop = true;
            // Counted once per machine; the marker is set before any reply, so a failed
            // request is not retried by later runs.
            if (!QFile::exists(InterfacePaths::countedMarker()))
                set_colab_count();
            AtomicFile::touch(InterfacePaths::countedMarker());
            dlg_classif_train->on_pushButton_train_clicked();
            if (dlg_classif_train->trainingRefused) {
                // Refused before the event loop runs: the process ends as a gen-only run does.
                exitAfterGen = true;
                exitCode = 1;
                break;
            }
        }
    }
}

void forgewright_main_window::set_colab_count()
{
    UsageCounter::increment(this);
}

void forgewright_main_window::on_pushButton_5_clicked()
{
    set_colab_count();
}

void forgewright_main_window::on_pushButton_4_clicked()
{
    dlg_classif_train->stop_train();
}

void forgewright_main_window::on_pushButton_3_clicked()
{
    dlg_classif_train->on_pushButton_train_clicked();
}

void forgewright_main_window::on_pushButton_2_clicked()
{
    dlg_classif_train->on_pushButton_gen_clicked();
}

void forgewright_main_window::on_pushButton_clicked()
{
    dlg_classif_train->setWindowModality(Qt::WindowModal);
    dlg_classif_train->setWindowFlags(Qt::WindowCloseButtonHint);

    WindowPlacement::nextToPointer(dlg_classif_train);
    dlg_classif_train->setVisible(true);
}

} // namespace forgewright
