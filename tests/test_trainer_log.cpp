// The trainer's one-record progress log.
#include "dialog_ruzerizozize.h"
#include "interface_paths.h"
#include "test_support.h"

#include <QJsonDocument>
#include <QtTest>

class TestTrainerLog : public QObject
{
    Q_OBJECT

    ScopedInterfaceDir interfaceDir;

    static QJsonObject readRecord(QByteArray* raw = nullptr)
    {
        const QByteArray bytes = testutil::readBytes(InterfacePaths::trainerLog());
        if (raw)
            *raw = bytes;
        return QJsonDocument::fromJson(bytes).object();
    }

private slots:
    void recordIsOneStampedCompactLine()
    {
        DialogRuzerizOzize dialog;
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        const QJsonObject record{{"gen_progress", 42}};
        dialog.show_log(record);
        QVERIFY(!record.contains("datatime"));

        QByteArray raw;
        const QJsonObject written = readRecord(&raw);
        QVERIFY(raw.endsWith("}\n"));
        QCOMPARE(raw.count('\n'), 1);
        QVERIFY(raw.startsWith("{\"datatime\":\""));
        QVERIFY(raw.contains(",\"gen_progress\":42}"));
        QCOMPARE(raw.count(' '), 1); // only the one inside the time stamp
        const QDateTime stamp = QDateTime::fromString(written["datatime"].toString(), "yyyy-MM-dd hh:mm:ss");
        QVERIFY(stamp.isValid());
        QVERIFY(stamp >= before && stamp <= QDateTime::currentDateTime().addSecs(1));
        QCOMPARE(written["gen_progress"].toInt(), 42);
    }

    void shellCharactersSurviveIntact()
    {
        DialogRuzerizOzize dialog;
        const QString nasty = "say \"hi\" $HOME `id` \\n $(date) 'q'";
        dialog.show_log(QJsonObject{{"train_state", QJsonObject{{"note", nasty}}}});
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(testutil::readBytes(InterfacePaths::trainerLog()), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(doc.object()["train_state"].toObject()["note"].toString(), nasty);
    }

    void laterRecordReplacesEarlier()
    {
        DialogRuzerizOzize dialog;
        dialog.show_log(QJsonObject{{"gen_progress", 1}});
        dialog.show_log(QJsonObject{{"gen_progress", 2}});
        QByteArray raw;
        QCOMPARE(readRecord(&raw)["gen_progress"].toInt(), 2);
        QCOMPARE(raw.count('\n'), 1);
        // Written whole through a temporary file: nothing else is left in the folder.
        QCOMPARE(QDir(interfaceDir.path()).entryList(QDir::Files), QStringList({"ruzerizozize.log"}));
    }
};

QTEST_MAIN(TestTrainerLog)
#include "test_trainer_log.moc"
