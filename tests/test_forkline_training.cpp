// efficientnet_b0, the template with swish, [scale_channels] and shortcuts, trained by the
// package's trainer executable on small pictures for 3 classes, and the model it writes loaded the way seerkeep
// loads it.

#include <QtTest>

#include "classif_config.h"
#include "darknet_training_folder.h"
#include "test_support.h"

namespace {

// The template for 3 classes, at an input of 64 x 64 so that a test can afford a hundred
// iterations: the network is all convolutions, so its weights do not depend on the input size.
QString efficientnet(int batch)
{
    QString text = testutil::readAll(testutil::sourceDir() + "/resources/ai_models/forkline/efficientnet_b0.cfg");
    text.replace("$batch$", QString::number(batch)).replace("$subdivisions$", "1").replace("$classes$", "3");
    text = DarknetTrainingFolder::withNetValue(text, "width", "64");
    return DarknetTrainingFolder::withNetValue(text, "height", "64");
}

// The average loss of every progress line, in order.
QList<double> averageLosses(const QString& out)
{
    QList<double> losses;
    const QRegularExpression average(", ([0-9.]+) avg,");
    for (const QString& line : out.split('\n'))
        if (line.startsWith("iteration[")) {
            const QRegularExpressionMatch match = average.match(line);
            if (match.hasMatch())
                losses << match.captured(1).toDouble();
        }
    return losses;
}

} // namespace

class ForklineTrainingTest : public QObject
{
    Q_OBJECT

private:
    ScopedInterfaceDir interfaceDir;

private slots:
    void efficientnetLearnsAndLoadsInSeerkeep();
};

void ForklineTrainingTest::efficientnetLearnsAndLoadsInSeerkeep()
{
    const int iterations = 120;
    QTemporaryDir gen;
    DarknetTrainingFolder::write(gen.path(), {"circle", "square", "triangle"}, 4, 32, 48);
    // A constant, moderate rate without burn-in, so that a short run shows learning.
    QString cfg = efficientnet(8);
    cfg = DarknetTrainingFolder::withNetValue(cfg, "max_batches", QString::number(iterations));
    cfg = DarknetTrainingFolder::withNetValue(cfg, "burn_in", "0");
    cfg = DarknetTrainingFolder::withNetValue(cfg, "policy", "constant");
    cfg = DarknetTrainingFolder::withNetValue(cfg, "learning_rate", "0.01");
    DarknetTrainingFolder::writeTrainCfg(gen.path(), cfg);

    // One seed, so that every run trains alike: from some starting weights a constant rate of
    // 0.01 makes efficientnet's loss climb for this short a run (one seed in eight here).
    QProcess trainer;
    QProcessEnvironment env = testutil::programEnvironment(interfaceDir.path());
    env.insert("VELA_TRAINER_SEED", "1");
    trainer.setProcessEnvironment(env);
    trainer.setWorkingDirectory(gen.path());
    trainer.start(testutil::binaryDir() + "/ros/vela_lib_yolo/darknet_cpu_",
                  {"classifier", "train", "data_gen/data.data", "data_gen/train.cfg", "-dont_show"});
    QVERIFY(trainer.waitForFinished(800000));
    QVERIFY2(trainer.exitCode() == 0, trainer.readAllStandardError().constData());
    const QList<double> losses = averageLosses(QString::fromUtf8(trainer.readAllStandardOutput()));
    QCOMPARE(losses.size(), iterations);
    double lastTen = 0;
    for (int i = iterations - 10; i < iterations; ++i)
        lastTen += losses.at(i) / 10;
    qInfo() << "average loss" << losses.first() << "-> last ten" << lastTen;
    QVERIFY2(lastTen < losses.first(), qPrintable(QString("%1 -> %2").arg(losses.first()).arg(lastTen)));

    const QString model = gen.path() + "/model";
    QVERIFY(QDir().mkpath(model));
    QVERIFY(QFile::copy(gen.path() + "/data_gen/backup/train.weights", model + "/train.weights"));
    QVERIFY(QFile::copy(gen.path() + "/data_gen/names.list", model + "/names.list"));
    testutil::writeBytes(model + "/test.cfg", efficientnet(1).toUtf8());
    ClassifConfig config;
    QString error;
    QVERIFY2(config.load(model, "CPU", &error), qPrintable(error));
    config.top = 3;
    cv::Mat picture = SyntheticProject::shapeImage("square", 48, 3);
    const auto results = config.infer(picture);
    QCOMPARE(int(results.size()), 3);
}

QTEST_GUILESS_MAIN(ForklineTrainingTest)
#include "test_forkline_training.moc"
