// Robustness: a few hundred random command files and picture files go through the server's
// own poll, one after the other, and it still answers properly afterwards.
#include "darknet_models.h"
#include "fuzz_inputs.h"
#include "seerkeep_main_window.h"
#include "test_support.h"

#include <QJsonDocument>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

namespace {

constexpr int kRounds = 300;

} // namespace

class TestServerFuzz : public QObject
{
    Q_OBJECT

    ScopedInterfaceDir interfaceDir;
    QTemporaryDir work;

    // One poll of the window, as its timer would run it.
    static void poll(seerkeep::seerkeep_main_window& window)
    {
        QVERIFY(QMetaObject::invokeMethod(&window, "loop_cmd", Qt::DirectConnection));
    }

    void command(seerkeep::seerkeep_main_window& window, const QByteArray& content)
    {
        QFile::remove(interfaceDir.file("derarodizir.run"));
        testutil::writeBytes(interfaceDir.file("derarodizir_test.cmd"), content);
        poll(window);
    }

    QJsonObject logRecord() const
    {
        const QByteArray content = testutil::readBytes(interfaceDir.file("derarodizir.log"));
        if (content.isEmpty())
            return QJsonObject();
        if (!content.endsWith('\n') || content.count('\n') != 1)
            return QJsonObject{{"state", "a log of more than one line"}};
        return QJsonDocument::fromJson(content).object();
    }

private slots:
    void randomCommandsAndPictures()
    {
        const QString model = work.filePath("model");
        QVERIFY(darknetmodels::writeRandomModel(model, darknetmodels::voderoVod32Cfg(3, 1),
                                                {"circle", "square", "triangle"}));
        seerkeep::seerkeep_main_window window(0, nullptr);
        command(window, ("update," + model).toUtf8());
        QCOMPARE(logRecord()["load_model"], QJsonValue(true));

        const QStringList states = {"update_start", "update_error", "update_end", "test_start", "test_error",
                                    "test_end"};
        FuzzInputs inputs(20261208);
        const QString picture = work.filePath("fuzz.png");
        const QString defaultPicture = interfaceDir.file("derarodizir_img_test.png");
        for (int round = 0; round < kRounds; ++round) {
            testutil::writeBytes(picture, inputs.picture());
            testutil::writeBytes(defaultPicture, inputs.picture());
            const QByteArray content = inputs.command(picture);
            command(window, content);

            const QString context = QString("round %1, command %2").arg(round).arg(QString::fromLatin1(content.left(80).toHex()));
            QVERIFY2(!QFileInfo::exists(interfaceDir.file("derarodizir_test.cmd")), qPrintable(context));
            QVERIFY2(QFileInfo::exists(interfaceDir.file("derarodizir.run")), qPrintable(context));
            const QJsonObject record = logRecord();
            QVERIFY2(record.isEmpty() || states.contains(record["state"].toString()), qPrintable(context));
        }

        // Still serving, once given a model again (a failed update leaves none loaded).
        const QString good = work.filePath("good.jpg");
        QVERIFY(cv::imwrite(good.toStdString(), SyntheticProject::shapeImage("circle", 64, 5)));
        command(window, ("update," + model).toUtf8());
        command(window, ("test," + good).toUtf8());
        QCOMPARE(logRecord()["state"].toString(), QString("test_end"));
        QCOMPARE(cv::imread(interfaceDir.file("derarodizir_result.png").toStdString()).size(), cv::Size(608, 608));
    }
};

QTEST_MAIN(TestServerFuzz)
#include "test_server_fuzz.moc"
