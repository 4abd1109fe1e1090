// The command-file grammar and the heartbeat line, called directly.
#include "heartbeat.h"
#include "server_command.h"

#include <QtTest>

Q_DECLARE_METATYPE(ServerCommand::Kind)

class TestServerCommand : public QObject
{
    Q_OBJECT

private slots:
    void decodeKeepsTextUpToTheFirstNulWithoutLineEnds()
    {
        QCOMPARE(ServerCommand::decode("update\n"), QString("update"));
        QCOMPARE(ServerCommand::decode("te\r\nst,/a\rb\n"), QString("test,/ab"));
        QCOMPARE(ServerCommand::decode(QByteArray("exit\0garbage", 12)), QString("exit"));
        QCOMPARE(ServerCommand::decode(QByteArray("\0exit", 5)), QString());
        // No other trimming: blanks and tabs stay.
        QCOMPARE(ServerCommand::decode(" test,\t/x \n"), QString(" test,\t/x "));
        QCOMPARE(ServerCommand::decode("test,/b\xc3\xa4r\n"), QString::fromUtf8("test,/b\xc3\xa4r"));
    }

    void parseSelectsTheCommand_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<ServerCommand::Kind>("kind");
        QTest::addColumn<bool>("hasArgument");
        QTest::addColumn<QString>("argument");

        QTest::newRow("update") << "update" << ServerCommand::Update << false << "";
        QTest::newRow("update with folder") << "update,/m/a b " << ServerCommand::Update << true << "/m/a b ";
        QTest::newRow("update with empty folder") << "update," << ServerCommand::Update << true << "";
        QTest::newRow("test") << "test" << ServerCommand::Test << false << "";
        QTest::newRow("test with image") << "test,/img/x.png" << ServerCommand::Test << true << "/img/x.png";
        QTest::newRow("exit") << "exit" << ServerCommand::Exit << false << "";
        QTest::newRow("exit with text") << "exit,now" << ServerCommand::None << false << "";
        QTest::newRow("exit with comma") << "exit," << ServerCommand::None << false << "";
        QTest::newRow("comma in path") << "test,/a,b.png" << ServerCommand::None << false << "";
        QTest::newRow("leading blank") << " update" << ServerCommand::None << false << "";
        QTest::newRow("capital") << "Update" << ServerCommand::None << false << "";
        QTest::newRow("trailing blank") << "exit " << ServerCommand::None << false << "";
        QTest::newRow("empty") << "" << ServerCommand::None << false << "";
        QTest::newRow("other word") << "stop" << ServerCommand::None << false << "";
        QTest::newRow("joined lines") << "updatetest" << ServerCommand::None << false << "";
    }

    void parseSelectsTheCommand()
    {
        QFETCH(QString, text);
        QFETCH(ServerCommand::Kind, kind);
        QFETCH(bool, hasArgument);
        QFETCH(QString, argument);
        const ServerCommand command = ServerCommand::parse(text);
        QCOMPARE(command.kind, kind);
        QCOMPARE(command.hasArgument, hasArgument);
        QCOMPARE(command.argument, argument);
    }

    void heartbeatLineHasTheDateCommandsForm()
    {
        // 2026-12-08 14:03:09 UTC, a single-digit day, which date pads with a blank.
        qputenv("TZ", "UTC");
        tzset();
        QCOMPARE(Heartbeat::line(std::time_t(1796738589)), QByteArray("Tue Dec  8 14:03:09 UTC 2026\n"));
        QCOMPARE(Heartbeat::line(std::time_t(1797688800)), QByteArray("Sat Dec 19 14:00:00 UTC 2026\n"));
        qputenv("TZ", "Europe/Berlin");
        tzset();
        QCOMPARE(Heartbeat::line(std::time_t(1796738589)), QByteArray("Tue Dec  8 15:03:09 CET 2026\n"));
    }

    void heartbeatIsWrittenWhole()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("derarodizir.run");
        QVERIFY(Heartbeat::write(path));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(content.endsWith('\n'));
        QCOMPARE(content.count('\n'), 1);
        // Nothing but the file itself is left in the folder.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"derarodizir.run"});
    }
};

QTEST_GUILESS_MAIN(TestServerCommand)
#include "test_server_command.moc"
