// Launching, stopping and exporting a training run from the trainer dialog.
#include "dialog_ruzerizozize.h"
#include "interface_paths.h"
#include "test_support.h"
#include "user_prompt.h"

#include <QComboBox>
#include <QGroupBox>
#include <QJsonDocument>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTabWidget>
#include <QTextEdit>
#include <QtTest>

namespace {

void selectModel(DialogRuzerizOzize& dialog, const QString& model)
{
    auto* box = dialog.findChild<QComboBox*>("comboBox_model");
    const int index = box->findText(model);
    QVERIFY2(index >= 0, qPrintable(model));
    box->setCurrentIndex(index);
}

QString console(DialogRuzerizOzize& dialog)
{
    return dialog.findChild<QTextEdit*>("textEdit_train_console")->toPlainText();
}

// Ends whatever the launch started (rosrun may or may not find the trainer here).
void endChild(DialogRuzerizOzize& dialog)
{
    if (dialog.trainProcess->state() != QProcess::NotRunning) {
        dialog.trainProcess->kill();
        dialog.trainProcess->waitForFinished(5000);
    }
}

} // namespace

class TestTrainingLaunch : public QObject
{
    Q_OBJECT

    ScopedInterfaceDir interfaceDir;
    QTemporaryDir gen;
    QStringList questions;
    QMessageBox::StandardButton answer = QMessageBox::No;

    QString dataGen() const { return gen.path() + "/data_gen"; }

    void makeDataGen(const QString& version)
    {
        QDir(dataGen()).removeRecursively();
        QDir().mkpath(dataGen() + "/backup");
        testutil::writeBytes(dataGen() + "/train.cfg", "old train");
        testutil::writeBytes(dataGen() + "/test.cfg", "old test");
        if (!version.isNull())
            testutil::writeBytes(dataGen() + "/version", version.toUtf8());
    }

    void prepare(DialogRuzerizOzize& dialog, const QString& model)
    {
        dialog.genPath = gen.path();
        for (int i = 0; i < 5; ++i)
            dialog.classFiles.insert(QString("class%1").arg(i), {});
        selectModel(dialog, model);
    }

private slots:
    void init()
    {
        questions.clear();
        answer = QMessageBox::No;
        UserPrompt::resetAnswerers();
        UserPrompt::setQuestionAnswerer([this](const QString& title, const QString& text) {
            questions << title + "|" + text;
            return answer;
        });
        UserPrompt::setFileAnswerer([](const QString&, const QString&, const QString&) {
            QTest::qFail("unexpected file dialog", __FILE__, __LINE__);
            return QString();
        });
    }

    void withoutVersionFileTheQuestionIsAsked()
    {
        makeDataGen(QString());
        DialogRuzerizOzize dialog;
        prepare(dialog, "darknet19");
        dialog.on_pushButton_train_clicked();
        QCOMPARE(questions,
                 QStringList({"Training..|Generate model not match. Do you want to change model from 0 to darknet19 ?"}));
        // No keeps the configurations as they were.
        QCOMPARE(testutil::readBytes(dataGen() + "/train.cfg"), QByteArray("old train"));
        QVERIFY(!QFile::exists(dataGen() + "/version"));
        QCOMPARE(dialog.trainProcess->program(), QString("rosrun"));
        endChild(dialog);
    }

    void matchingVersionAsksNothing_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("model");
        QTest::addColumn<bool>("announced");
        QTest::newRow("forkline") << "1:efficientnet_b0" << "efficientnet_b0" << false;
        QTest::newRow("mainline") << "0:resnet50" << "resnet50" << true;
    }

    void matchingVersionAsksNothing()
    {
        QFETCH(QString, version);
        QFETCH(QString, model);
        QFETCH(bool, announced);
        makeDataGen(version);
        DialogRuzerizOzize dialog;
        prepare(dialog, model);
        dialog.on_pushButton_train_clicked();
        QVERIFY(questions.isEmpty());
        QCOMPARE(console(dialog).startsWith("Train with model " + version + "\n"), announced);
        QCOMPARE(console(dialog).contains("Train with model"), announced);
        QCOMPARE(dialog.findChild<QLabel*>("label_model_name")->text(), model);
        endChild(dialog);
    }

    void yesRewritesTheConfigurations()
    {
        makeDataGen("0:darknet19");
        answer = QMessageBox::Yes;
        DialogRuzerizOzize dialog;
        prepare(dialog, "VoderoVod_32");
        dialog.findChild<QSpinBox*>("spinBox_batch_size")->setValue(64);
        dialog.findChild<QSpinBox*>("spinBox_subdivisions")->setValue(8);
        dialog.on_pushButton_train_clicked();
        QCOMPARE(questions.size(), 1);
        QVERIFY(questions.first().endsWith("from darknet19 to VoderoVod_32 ?"));

        const QString train = testutil::readAll(dataGen() + "/train.cfg");
        const QString test = testutil::readAll(dataGen() + "/test.cfg");
        QVERIFY(train.contains("batch=64\n"));
        QVERIFY(train.contains("subdivisions=8\n"));
        QVERIFY(train.contains("filters=5\n"));
        QVERIFY(test.contains("batch=1\n"));
        QVERIFY(test.contains("subdivisions=1\n"));
        QVERIFY(test.contains("filters=5\n"));
        QVERIFY(!train.contains('$'));
        QCOMPARE(testutil::readAll(dataGen() + "/version"), QString("0:VoderoVod_32"));
        QVERIFY(console(dialog).contains("Train with model 0:VoderoVod_32"));
        endChild(dialog);
    }

    void batchRunAnswersYesWithoutAsking()
    {
        makeDataGen("0:darknet19");
        DialogRuzerizOzize dialog;
        prepare(dialog, "VoderoVod_32");
        dialog.exitOnStop = true;
        dialog.on_pushButton_train_clicked();
        QVERIFY(questions.isEmpty());
        QCOMPARE(testutil::readAll(dataGen() + "/version"), QString("0:VoderoVod_32"));
        dialog.exitOnStop = false; // the test's event loop is not to be ended
        endChild(dialog);
    }

    void commandLineAndWeights()
    {
        makeDataGen("0:darknet19");
        DialogRuzerizOzize dialog;
        prepare(dialog, "darknet19");
        dialog.on_pushButton_train_clicked();
        const QStringList base = {"vela_lib_yolo", "darknet_cpu_", "classifier", "train", "data_gen/data.data",
                                  "data_gen/train.cfg"};
        // Default continuation before any backup exists: no weights argument.
        QCOMPARE(dialog.trainProcess->arguments(), base + QStringList({"-dont_show"}));
        QCOMPARE(dialog.trainProcess->workingDirectory(), gen.path());
        endChild(dialog);

        testutil::writeBytes(dataGen() + "/backup/train.backup", "w");
        dialog.on_pushButton_train_clicked();
        QCOMPARE(dialog.trainProcess->arguments(),
                 base + QStringList({dataGen() + "/backup/train.backup", "-dont_show"}));
        endChild(dialog);

        dialog.findChild<QGroupBox*>("groupBox_continue_train")->setChecked(false);
        dialog.on_pushButton_train_clicked();
        QCOMPARE(dialog.trainProcess->arguments(), base + QStringList({"-dont_show"}));
        endChild(dialog);
    }

    // Patience reaches the trainer only with validation to judge by.
    void patienceIsPassedOnlyWithValidation()
    {
        makeDataGen("0:darknet19");
        DialogRuzerizOzize dialog;
        prepare(dialog, "darknet19");
        dialog.findChild<QSpinBox*>("spinBox_patience")->setValue(3);
        dialog.on_pushButton_train_clicked();
        QVERIFY(!dialog.trainProcess->arguments().contains("-patience"));
        endChild(dialog);
        dialog.findChild<QSpinBox*>("spinBox_valid_percent")->setValue(10);
        dialog.on_pushButton_train_clicked();
        QCOMPARE(dialog.trainProcess->arguments().mid(6), QStringList({"-patience", "3", "-dont_show"}));
        endChild(dialog);
    }

    void customWeightWithBlanksStaysOneArgument()
    {
        makeDataGen("0:darknet19");
        const QString weights = gen.path() + "/my weights \"v2\".weights";
        testutil::writeBytes(weights, "w");
        UserPrompt::setFileAnswerer([&](const QString& caption, const QString&, const QString& filter) {
            if (caption != "Continue training : Select weight" || filter != "Weight Files (*.weights *.backup)")
                return QString();
            return weights;
        });
        DialogRuzerizOzize dialog;
        prepare(dialog, "darknet19");
        dialog.findChild<QRadioButton*>("radioButton_continue_train_custom_weight")->setChecked(true);
        dialog.on_pushButton_train_clicked();
        QCOMPARE(dialog.trainProcess->arguments().at(6), weights);
        QCOMPARE(dialog.customWeight, weights);
        QCOMPARE(dialog.findChild<QLabel*>("label_custom_wg")->text(), weights);
        endChild(dialog);
    }

    void cancelledCustomWeightStartsNothing()
    {
        makeDataGen("0:darknet19");
        UserPrompt::setFileAnswerer([](const QString&, const QString&, const QString&) { return QString(); });
        DialogRuzerizOzize dialog;
        prepare(dialog, "darknet19");
        dialog.findChild<QRadioButton*>("radioButton_continue_train_custom_weight")->setChecked(true);
        dialog.on_pushButton_train_clicked();
        QCOMPARE(dialog.trainProcess->state(), QProcess::NotRunning);
        QVERIFY(dialog.trainProcess->program().isEmpty());
        QCOMPARE(dialog.findChild<QPushButton*>("pushButton_train")->text(), QString("Start"));
    }

    void batchRunContinuesFromTheSavedCustomWeight()
    {
        makeDataGen("0:darknet19");
        const QString weights = gen.path() + "/saved.weights";
        testutil::writeBytes(weights, "w");
        DialogRuzerizOzize dialog;
        prepare(dialog, "darknet19");
        dialog.findChild<QRadioButton*>("radioButton_continue_train_custom_weight")->setChecked(true);
        dialog.exitOnStop = true;
        dialog.customWeight = gen.path() + "/missing.weights";
        dialog.on_pushButton_train_clicked();
        QVERIFY(dialog.trainProcess->program().isEmpty()); // no file: nothing started, nobody asked

        dialog.customWeight = weights;
        dialog.on_pushButton_train_clicked();
        QCOMPARE(dialog.trainProcess->arguments().at(6), weights);
        dialog.exitOnStop = false;
        endChild(dialog);
    }

    void launchResetsTheRunAndNeedsAGenerationFolder()
    {
        testutil::writeBytes(InterfacePaths::trainerStop(), "");
        DialogRuzerizOzize dialog;
        dialog.iteration = 7;
        dialog.avgLoss = 1;
        dialog.accuracy = 50;
        dialog.on_pushButton_train_clicked();
        QVERIFY(!QFile::exists(InterfacePaths::trainerStop()));
        QCOMPARE(dialog.iteration, qint64(0));
        QCOMPARE(dialog.avgLoss, 999.0);
        QCOMPARE(dialog.accuracy, 0.0);
        QVERIFY(dialog.trainProcess->program().isEmpty());
        QVERIFY(questions.isEmpty());
    }

    void runningLookStopButtonAndTick()
    {
        DialogRuzerizOzize dialog;
        auto* train = dialog.findChild<QPushButton*>("pushButton_train");
        dialog.trainProcess->start("sleep", {"30"});
        QVERIFY(dialog.trainProcess->waitForStarted(5000));
        QCOMPARE(train->text(), QString("Stop"));
        QVERIFY(!dialog.findChild<QPushButton*>("pushButton_gen")->isEnabled());
        QVERIFY(!dialog.findChild<QGroupBox*>("groupBox_continue_train")->isEnabled());
        QVERIFY(dialog.tickTimer.isActive());

        // A tick publishes the run's state and, finding the stop file, stops the child.
        dialog.iteration = 12;
        dialog.avgLoss = 0.5;
        dialog.accuracy = 87.5;
        testutil::writeBytes(InterfacePaths::trainerStop(), "");
        dialog.updateTimeElape();
        const QJsonObject record = QJsonDocument::fromJson(testutil::readBytes(InterfacePaths::trainerLog())).object();
        const QJsonObject state = record["train_state"].toObject();
        QCOMPARE(state["intr"].toInt(), 12);
        QCOMPARE(state["avg"].toDouble(), 0.5);
        QCOMPARE(state["acc"].toDouble(), 87.5);
        QCOMPARE(state["backend"].toString(), QString("CPU"));
        QCOMPARE(state["time_str"].toString(), QString("00:00:00"));
        QVERIFY(!QFile::exists(InterfacePaths::trainerStop()));
        QVERIFY(dialog.trainProcess->waitForFinished(5000));
        QCOMPARE(dialog.trainProcess->exitStatus(), QProcess::CrashExit); // SIGTERM, not kill
        QCOMPARE(train->text(), QString("Start"));
        QVERIFY(console(dialog).endsWith("############ Stopped ##############"));
        QVERIFY(!dialog.tickTimer.isActive());
    }

    void stopButtonOnlyStops()
    {
        makeDataGen(QString());
        DialogRuzerizOzize dialog;
        prepare(dialog, "darknet19");
        dialog.trainProcess->start("sleep", {"30"});
        QVERIFY(dialog.trainProcess->waitForStarted(5000));
        dialog.findChild<QTextEdit*>("textEdit_train_console")->setPlainText("kept");
        dialog.on_pushButton_train_clicked();
        QVERIFY(questions.isEmpty());
        QVERIFY(dialog.trainProcess->waitForFinished(5000));
        QVERIFY(console(dialog).startsWith("kept"));
        QCOMPARE(dialog.trainProcess->program(), QString("sleep"));
    }

    void exportReplacesExistingFiles()
    {
        makeDataGen("0:darknet19");
        testutil::writeBytes(dataGen() + "/backup/train.backup", QByteArray(3 << 20, 'w'));
        testutil::writeBytes(dataGen() + "/names.list", "a\nb");
        testutil::writeBytes(dataGen() + "/test.cfg", "[net]\n");
        QTemporaryDir target;
        for (const char* name : {"/train.weights", "/names.list", "/test.cfg"})
            testutil::writeBytes(target.path() + name, "stale");
        QString asked;
        UserPrompt::setDirectoryAnswerer([&](const QString& caption, const QString& start) {
            asked = caption + "|" + start;
            return target.path();
        });
        DialogRuzerizOzize dialog;
        dialog.genPath = gen.path();
        dialog.on_pushButton_export_clicked();
        QCOMPARE(asked, "Select folder to export weights files|" + gen.path());
        QCOMPARE(testutil::readBytes(target.path() + "/train.weights"), QByteArray(3 << 20, 'w'));
        QCOMPARE(testutil::readBytes(target.path() + "/names.list"), QByteArray("a\nb"));
        QCOMPARE(testutil::readBytes(target.path() + "/test.cfg"), QByteArray("[net]\n"));
        QCOMPARE(QDir(target.path()).entryList(QDir::Files | QDir::Hidden).size(), 3);
        // The log says what went where.
        QVERIFY(console(dialog).contains(dataGen() + "/backup/train.backup -> " + target.path() + "/train.weights"));
        QVERIFY(console(dialog).contains(dataGen() + "/names.list -> " + target.path() + "/names.list"));
    }

    void theBestValidationShowsBesideTheLatest()
    {
        DialogRuzerizOzize dialog;
        for (const char* line : {"valid[100] top1 0.9, top5 1, 24 images, 0.1 seconds\n",
                                 "valid[200] top1 0.8, top5 1, 24 images, 0.1 seconds\n"}) {
            dialog.trainProcess->start("printf", {line});
            QVERIFY(dialog.trainProcess->waitForFinished(5000));
        }
        QCOMPARE(dialog.findChild<QLabel*>("label_val_acc")->text(), QString("Validation : 80.00 %  (best 90.00 %)"));
    }

    void aStoppedRunScrollsTheLogToItsEnd()
    {
        DialogRuzerizOzize dialog;
        dialog.findChild<QTabWidget*>("tabWidget")->setCurrentIndex(1);
        dialog.show();
        auto* log = dialog.findChild<QTextEdit*>("textEdit_train_console");
        QStringList lines;
        for (int i = 0; i < 300; ++i)
            lines << QString("line %1").arg(i);
        log->setPlainText(lines.join("\n"));
        log->verticalScrollBar()->setValue(0);
        dialog.processStateChanged(QProcess::NotRunning);
        QVERIFY(log->verticalScrollBar()->maximum() > 0);
        QCOMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
    }

    void exportWithoutAllSourcesDoesNothing()
    {
        makeDataGen("0:darknet19");
        QFile::remove(dataGen() + "/backup/train.backup");
        testutil::writeBytes(dataGen() + "/names.list", "a");
        bool asked = false;
        UserPrompt::setDirectoryAnswerer([&](const QString&, const QString&) {
            asked = true;
            return QString();
        });
        DialogRuzerizOzize dialog;
        dialog.genPath = gen.path();
        dialog.on_pushButton_export_clicked();
        QVERIFY(!asked);
        QVERIFY(console(dialog).contains("nothing exported, " + dataGen() + "/backup/train.backup does not exist"));
    }
};

QTEST_MAIN(TestTrainingLaunch)
#include "test_training_launch.moc"
