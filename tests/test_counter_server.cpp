// The server's use of the usage counter: one read at start-up that leaves the count in the
// interface folder, with a real HTTP server on 127.0.0.1 playing the two services.
#include "counter_service.h"
#include "interface_paths.h"
#include "seerkeep_main_window.h"
#include "test_support.h"

#include <QNetworkAccessManager>
#include <QTimer>
#include <QtTest>

#include <memory>

class TestCounterServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScopedInterfaceDir> interfaceDir;
    std::unique_ptr<CounterService> service;

    void configure(const QString& signInUrl, const QString& firestoreUrl)
    {
        qputenv("VELA_COUNTER_SIGNIN_URL", signInUrl.toUtf8());
        qputenv("VELA_COUNTER_FIRESTORE_URL", firestoreUrl.toUtf8());
        qputenv("VELA_COUNTER_EMAIL", CounterService::kEmail.toUtf8());
        qputenv("VELA_COUNTER_PASSWORD", CounterService::kPassword.toUtf8());
    }

    static void waitUntilSettled(const QObject& owner)
    {
        QTRY_COMPARE_WITH_TIMEOUT(owner.findChildren<QNetworkAccessManager*>().size(), 0, 30000);
    }

private slots:
    void init()
    {
        interfaceDir = std::make_unique<ScopedInterfaceDir>();
        service = std::make_unique<CounterService>();
        QVERIFY(service->start());
        configure(service->signInUrl(), service->firestoreUrl());
    }

    void cleanup()
    {
        for (const char* name : {"VELA_COUNTER_SIGNIN_URL", "VELA_COUNTER_FIRESTORE_URL", "VELA_COUNTER_EMAIL",
                                 "VELA_COUNTER_PASSWORD"})
            qunsetenv(name);
        service.reset();
        interfaceDir.reset();
    }

    void startUpLeavesTheCountInItsFile()
    {
        service->counter = 41;
        char name[] = "seerkeep";
        char* argv[] = {name, nullptr};
        seerkeep::seerkeep_main_window window(1, argv);
        waitUntilSettled(window);
        QCOMPARE(testutil::readBytes(InterfacePaths::usageCountFile()), QByteArray("41"));
        QCOMPARE(service->requestsTo(CounterService::kSignInPath).size(), 1);
        QCOMPARE(service->requestsTo(CounterService::kDocumentPath).size(), 1);
        QCOMPARE(service->requestsTo(CounterService::kCommitPath).size(), 0);
    }

    void noServiceLeavesAnOldCountAndTheServerPolling()
    {
        // A port nobody listens on: the sign-in fails and nothing is written.
        QTcpServer unused;
        QVERIFY(unused.listen(QHostAddress::LocalHost));
        const QString nowhere = QString("http://127.0.0.1:%1").arg(unused.serverPort());
        unused.close();
        configure(nowhere + "/v1/accounts:signInWithPassword?key=" + CounterService::kApiKey, nowhere);
        testutil::writeBytes(InterfacePaths::usageCountFile(), "7");

        char name[] = "seerkeep";
        char* argv[] = {name, nullptr};
        seerkeep::seerkeep_main_window window(1, argv);
        waitUntilSettled(window);
        QCOMPARE(testutil::readBytes(InterfacePaths::usageCountFile()), QByteArray("7"));
        // The command loop still answers.
        testutil::writeBytes(InterfacePaths::serverCommand(), "nothing");
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(InterfacePaths::serverCommand()), 5000);
        QVERIFY(QFileInfo::exists(InterfacePaths::serverHeartbeat()));
    }
};

QTEST_MAIN(TestCounterServer)
#include "test_counter_server.moc"
