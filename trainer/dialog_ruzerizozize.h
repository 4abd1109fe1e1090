#pragma once

#include "instance_lock.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonObject>
#include <QMessageBox>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QTimer>

#include <opencv2/core.hpp>

class DialogAugmentation;
class QTreeWidgetItem;

namespace TrainingFolder {
struct Sample;
}
namespace SampleWriter {
struct Settings;
}

namespace Ui {
class DialogRuzerizOzize;
}

// The trainer's working dialog: browses a dataset project, generates the darknet training
// folder data_gen, runs and follows the darknet trainer and exports the trained model.
// Its implementation is split by concern: state and construction here, project browsing,
// generation and the training run in their own files.
class DialogRuzerizOzize : public QDialog
{
    Q_OBJECT

public:
    explicit DialogRuzerizOzize(QWidget* parent = nullptr);
    ~DialogRuzerizOzize() override;

    QJsonObject saveState();
    void restoreState(QJsonObject state);

    // Project browsing
    void loadProject(const QString& path);
    void loadCurrImg(const QString& className, int index);
    void drawCurrImg();
    void resetUI();

    // Generation
    void generate(const QString& genFolder);

    // Training run
    void stop_train();

    // The progress log shared by generation and training.
    void show_log(QJsonObject record);

    QString prjPath;
    QString genPath;
    QMap<QString, QList<QFileInfo> > classFiles;
    QMap<QString, int> currIndex;
    QString currClass;
    cv::Mat currImg;

    // The augmentation worker of a running generation (its settings, and its running flag as
    // the stop switch); null when no sample loop is under way.
    DialogAugmentation* genAugWorker = nullptr;
    // Set when the latest generation was refused (nothing to generate, folders that nest, output
    // that would not fit) or could read no picture; its "gen_error" record says why.
    bool generationFailed = false;
    // What the latest project scan and state restore noticed and worked around (class names
    // cleaned or merged, state values of the wrong type); the first progress record lists them.
    QStringList scanWarnings;
    QStringList stateWarnings;
    // Folders the state asked for that did not exist when it was restored: the generation folder
    // is created when generation needs it, a missing project is named in the refusal.
    QString requestedGenPath;
    QString requestedProject;
    // Worker threads of a generation run; 0 means one per core.
    int generationThreads = 0;
    QJsonObject augState;

    const QString progressStyleRunning;
    const QString progressStyleStopped;

    QProcess* trainProcess = nullptr;
    QString customWeight;
    const QString instanceId;
    QElapsedTimer runClock;
    QTimer tickTimer;

    qint64 iteration = 0;
    double avgLoss = 999.0;
    double accuracy = 0;
    // The trainer's validation, once it has printed a first evaluation.
    bool hasValidation = false;
    double valAccuracy = 0;
    qint64 valIteration = 0;
    double bestValAccuracy = 0;
    bool exitOnStop = false;
    bool isGpu = false;
    // Set when the latest start was refused (its "train_end" record says why); a batch run
    // then exits with 1.
    bool trainingRefused = false;

    // How the run ends. A child that ends without a stop request leaves one "train_end" record;
    // a batch run then still answers the stop file, and a batch stop exits once the child is gone.
    bool stopRequested = false;
    bool exitWhenTrainerEnds = false;
    // The run was given an end of its own (an epoch budget, patience): a batch run exits once
    // it has finished, rather than waiting for the stop file.
    bool endsByItself = false;
    QString trainerErrorLine;    // the last error line of the trainer (an "error:" line if any)
    QString trainerErrorPartial; // its standard error after the last line end
    QString trainerBackend;      // what the trainer says it trains on; empty until it has said so
    QString trainerEndReason;    // why it ended before its schedule did, when it has said so
    QTimer stopFileTimer;
    // One training per interface folder: held from the trainer's start until it has ended. A
    // start that finds it held asks the other run to stop and tries again until it is free.
    InstanceLock trainLock;
    QTimer launchRetryTimer;
    QElapsedTimer waitingForOtherRun;
    static constexpr int kOtherRunStopMs = 120000;

signals:
    // The user is about to generate or to start training with the settings shown.
    void settingsUsed();
    // prjPath or genPath has changed.
    void foldersChanged();

public slots:
    void on_pushButton_gen_clicked();
    void on_pushButton_train_clicked();
    void stdoutReady();
    void stderrReady();
    void processStateChanged(QProcess::ProcessState state);
    void updateTimeElape();
    void trainerFinished(int exitCode, QProcess::ExitStatus status);
    void trainerFailedToStart(QProcess::ProcessError error);
    void pollStopFileAfterEnd();
    void on_pushbt_open_dir_clicked();
    void on_pushButton_refresh_clicked();
    void on_pushButton_augmen_clicked();
    void on_treeWidget_class_itemClicked(QTreeWidgetItem* item, int column);
    void on_pushButton_prev_clicked();
    void on_pushButton_next_clicked();
    void on_checkBox_keep_aspect_ratio_stateChanged(int state);
    void on_pushButton_export_clicked();
    void on_pushButton_browse_clicked();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // Generation steps
    // Why generation into genFolder must not start (before anything is deleted), or empty.
    QString generationRefusal(const QString& genFolder);
    void refuseGeneration(const QString& reason);
    // Moves a backup folder that holds files out of the training folder about to be replaced, to
    // backups/<date-time> in the generation folder. False when it cannot be moved.
    bool keepOldBackup(const QString& root, const QString& genFolder, QString* movedTo);
    // Added to the first progress record of the next sample loop.
    QJsonObject firstRecordExtras;
    QList<QFileInfo> makeRandomClass(const QString& extension);
    // Samples from heldFrom on are held out: written with heldSettings into heldWritten.
    QMap<QString, QStringList> writeSamples(const QVector<TrainingFolder::Sample>& samples,
                                            const QMap<QString, QString>& labelOf,
                                            const SampleWriter::Settings& settings, long long plannedImages,
                                            int heldFrom, const SampleWriter::Settings& heldSettings,
                                            QMap<QString, QStringList>* heldWritten);
    // Writes the model's train.cfg and test.cfg (when its template opens) and the version file
    // into the training folder root; returns the version text. trainingImages: the entries of
    // train.list, which an epoch budget is counted in.
    QString writeModelFiles(const QString& root, const QString& modelName, int batch, int subdivisions,
                            int classCount, qint64 trainingImages);
    // The training configuration with its schedule fitted to the epochs asked for; as it is when
    // none are, or (with a warning) when they would make an absurdly long run.
    QString withEpochBudget(const QString& trainCfg, qint64 trainingImages, int batch);

    // Training run steps
    // Takes the training lock, or asks the run that holds it to stop and tries again later.
    bool takeTrainingLock();
    // The launch proper; false when nothing was started.
    bool launchTraining();
    void refuseTraining(const QString& reason);
    // How long closing the dialog waits for a running trainer to write its backup.
    static constexpr int kStopGraceMs = 60000;

    QMessageBox::StandardButton askToSwitchModel(const QString& generated, const QString& chosen);
    // Writes the configurations and version of another model into data_gen; returns the version.
    QString rewriteConfigurations(const QString& dataGen, const QString& model);
    // The patience to pass to the trainer: 0 (with a warning) when there is no validation.
    int usablePatience() const;
    // False when the launch must end (no custom weight chosen).
    bool continuationWeights(const QString& dataGen, QString* weights);
    void noteTrainerErrors(const QString& text);
    void writeTrainEnd(int code, const QString& reason);
    // The run's progress as both training records carry it: intr, avg, acc, time_sec.
    QJsonObject progressFields(qint64 seconds) const;
    // The class count of the generated folder: the lines of its labels.txt (UNKNOWN and RANDOM
    // classes included), or the project's count when there is none.
    int generatedClassCount(const QString& dataGen) const;
    // The entries of the generated folder's train.list (0 without one).
    qint64 generatedTrainingImages(const QString& dataGen) const;
    // Moves backup/train.backup aside as backup/train.<model>.backup; it fits no other network.
    void moveBackupAside(const QString& dataGen, const QString& model);

    Ui::DialogRuzerizOzize* ui;
};
