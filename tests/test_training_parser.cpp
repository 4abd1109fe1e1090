// Reading the darknet trainer's console output and the elapsed-time text.
#include "training_output_parser.h"

#include <QtTest>

class TestTrainingParser : public QObject
{
    Q_OBJECT

private slots:
    void iteration_data()
    {
        QTest::addColumn<QString>("chunk");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("value");
        QTest::newRow("word before") << "abc[12] x" << true << "12" << qint64(12);
        QTest::newRow("nothing before the bracket") << "[12] x" << false << "" << qint64(0);
        QTest::newRow("two opening brackets") << "a[b[12]" << true << "b" << qint64(0);
        QTest::newRow("trainer line") << "iteration[345] 345, 1.2: 0.5, 0.6 avg, 0.9 acc, 0.1 rate, 0.2 seconds, 5520 images"
                                      << true << "345" << qint64(345);
        QTest::newRow("no brackets") << "loading weights" << false << "" << qint64(0);
    }

    void iteration()
    {
        QFETCH(QString, chunk);
        QFETCH(bool, found);
        const TrainingOutputReading r = TrainingOutputParser::parse(chunk);
        QCOMPARE(r.hasIteration, found);
        if (found) {
            QFETCH(QString, text);
            QFETCH(qint64, value);
            QCOMPARE(r.iterationText, text);
            QCOMPARE(r.iteration, value);
            QCOMPARE("iteration :" + r.iterationText, "iteration :" + text);
        }
    }

    void averageAndAccuracy()
    {
        const TrainingOutputReading r = TrainingOutputParser::parse("5, 0.1: 1.5, 1.25 avg, 0.5 acc, 0.1 rate");
        QVERIFY(r.hasAverageLoss);
        QCOMPARE(r.averageLossLabel, QString("Avg loss   : 1.250000"));
        QCOMPARE(r.averageLoss, 1.25);
        QVERIFY(r.hasAccuracy);
        QCOMPARE(r.accuracyLabel, QString("Accuracy  : 50.00 %"));
        QCOMPARE(r.accuracy, 50.0);
    }

    void averageWithoutAccuracyReadsTheLastPieceOfTheLine()
    {
        const TrainingOutputReading r = TrainingOutputParser::parse("5, 0.1: 1.5, 1.25 avg, 0.1 rate");
        QCOMPARE(r.averageLoss, 1.25);
        QVERIFY(r.hasAccuracy);
        QCOMPARE(r.accuracyLabel, QString("Accuracy  : 0.00 %"));
        QCOMPARE(r.accuracy, 0.0);
    }

    void laterAverageLineWins()
    {
        const TrainingOutputReading r =
            TrainingOutputParser::parse("1, 0.1: 3.0, 2.5 avg, 0.25 acc, 0.1 rate\n2, 0.2: 2.0, 1.75 avg, 0.75 acc, 0.1 rate\n");
        QCOMPARE(r.averageLossLabel, QString("Avg loss   : 1.750000"));
        QCOMPARE(r.accuracyLabel, QString("Accuracy  : 75.00 %"));
    }

    void olderAverageLossFormatOnlyOnTheFirstLine()
    {
        TrainingOutputReading r = TrainingOutputParser::parse("12: 2.5, 2.25 avg loss, 0.1 rate");
        QVERIFY(r.hasAverageLoss);
        QCOMPARE(r.averageLossLabel, QString("Avg loss : 2.250000"));
        QCOMPARE(r.averageLoss, 2.25);
        QVERIFY(!r.hasAccuracy);

        r = TrainingOutputParser::parse("loading\n12: 2.5, 2.25 avg loss, 0.1 rate");
        QVERIFY(!r.hasAverageLoss);
    }

    void unrelatedOutputChangesNothing()
    {
        const TrainingOutputReading r = TrainingOutputParser::parse("Loaded: 0.000032 seconds\n");
        QVERIFY(!r.hasIteration);
        QVERIFY(!r.hasAverageLoss);
        QVERIFY(!r.hasAccuracy);
    }

    void garbageNumbersReadAsZero()
    {
        const TrainingOutputReading r = TrainingOutputParser::parse("x[y] a, b: c, nan? avg, zz acc,");
        QVERIFY(r.hasIteration);
        QCOMPARE(r.iteration, qint64(0));
        QCOMPARE(r.averageLossLabel, QString("Avg loss   : 0.000000"));
        QCOMPARE(r.accuracy, 0.0);
    }

    void theTrainerNamesItsBackend()
    {
        QCOMPARE(TrainingOutputParser::trainsOn("backend: CPU\nengine: darknet\nLearning"), QString("CPU"));
        QCOMPARE(TrainingOutputParser::trainsOn("backend: CUDA\ndevice: NVIDIA T4, 15 GiB\nengine: torch 2.11.0"),
                 QString("CUDA"));
        QCOMPARE(TrainingOutputParser::trainsOn("iteration[1] 1, 0.1: 1, 1 avg, 0 acc, 0.1 rate"), QString());
        // So does it say why it ended early, at a line start only.
        QCOMPARE(TrainingOutputParser::endReason("valid[9] top1 0.5, top5 1, 9 images, 0.1 seconds\n"
                                                 "finished: no improvement in 2 evaluations\n"),
                 QString("no improvement in 2 evaluations"));
        QCOMPARE(TrainingOutputParser::endReason("not finished: yet\n"), QString());
    }

    void validationLine_data()
    {
        QTest::addColumn<QString>("chunk");
        QTest::addColumn<bool>("found");
        QTest::addColumn<qint64>("iteration");
        QTest::addColumn<QString>("label");
        const QString progress = "iteration[300] 300, 2.1: 0.5, 0.6 avg, 0.9 acc, 0.1 rate, 0.2 seconds, 4800 images";
        QTest::newRow("alone") << "valid[300] top1 0.935000, top5 1.000000, 200 images, 0.41 seconds\n" << true
                               << qint64(300) << "Validation : 93.50 %";
        QTest::newRow("after progress, the later one wins")
            << progress + "\nvalid[200] top1 0.5, top5 1, 9 images, 0.1 seconds\nvalid[300] top1 0.9, top5 1, 9 images, 0.1 seconds"
            << true << qint64(300) << "Validation : 90.00 %";
        QTest::newRow("progress only") << progress << false << qint64(0) << "";
        QTest::newRow("not at a line start") << "xvalid[3] top1 0.5, top5 1, 9 images" << false << qint64(0) << "";
        QTest::newRow("cut short") << "valid[3] top1 0.5, top5" << false << qint64(0) << "";
    }

    void validationLine()
    {
        QFETCH(QString, chunk);
        QFETCH(bool, found);
        const TrainingOutputReading r = TrainingOutputParser::parse(chunk);
        QCOMPARE(r.hasValidation, found);
        if (!found)
            return;
        QFETCH(qint64, iteration);
        QFETCH(QString, label);
        QCOMPARE(r.validationIteration, iteration);
        QCOMPARE(r.validationLabel, label);
        QCOMPARE(r.validationAccuracy, label.mid(13, 5).toDouble());
        // The batch accuracy is not taken from the validation line.
        QCOMPARE(r.hasAccuracy, chunk.contains(" acc,"));
    }

    void elapsedText()
    {
        QCOMPARE(TrainingOutputParser::elapsedText(3725), QString("01:02:05"));
        QCOMPARE(TrainingOutputParser::elapsedText(0), QString("00:00:00"));
        QCOMPARE(TrainingOutputParser::elapsedText(100 * 3600), QString("100:00:00"));
    }
};

QTEST_APPLESS_MAIN(TestTrainingParser)
#include "test_training_parser.moc"
