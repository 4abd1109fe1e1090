// The trainer's use of the usage counter: the "count" button and the once-per-machine increment
// of a "train" run, with the window built in this process and a real HTTP server on 127.0.0.1
// playing the sign-in and counter services.

#include "counter_service.h"
#include "forgewright_main_window.h"
#include "interface_paths.h"
#include "test_support.h"
#include "user_prompt.h"

#include <QNetworkAccessManager>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace {

int managersOf(const QObject& owner) { return owner.findChildren<QNetworkAccessManager*>().size(); }

// The program's command line, as main() hands it to the window.
struct CommandLine
{
    explicit CommandLine(const QList<QByteArray>& words) : storage(words)
    {
        storage.prepend("forgewright");
        for (QByteArray& word : storage)
            pointers.push_back(word.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return int(storage.size()); }
    char** argv() { return pointers.data(); }

    QList<QByteArray> storage;
    std::vector<char*> pointers;
};

} // namespace

class TestCounterPrograms : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void countButtonSendsOneIncrementPerClick();
    void trainWithoutMarkerIncrementsOnceAndMarksBeforeAnyReply();
    void trainWithMarkerSendsNothing();
    void trainWithoutCounterConfigurationStillMarks();

private:
    std::unique_ptr<forgewright::forgewright_main_window> startTrainer(const QList<QByteArray>& words);
    void setCounterConfigured(bool configured);
    void waitUntilSettled(const QObject& owner) { QTRY_COMPARE_WITH_TIMEOUT(managersOf(owner), 0, 30000); }

    std::unique_ptr<ScopedInterfaceDir> interfaceDir;
    std::unique_ptr<CounterService> service;
    QStringList promptErrors;
};

void TestCounterPrograms::init()
{
    interfaceDir = std::make_unique<ScopedInterfaceDir>();
    service = std::make_unique<CounterService>();
    QVERIFY(service->start());
    setCounterConfigured(true);
    // The default project folder does not exist here: its error must not block the test.
    promptErrors.clear();
    UserPrompt::resetAnswerers();
    UserPrompt::setCriticalObserver([this](const QString&, const QString& text) { promptErrors << text; });
    UserPrompt::setQuestionAnswerer([](const QString&, const QString&) { return QMessageBox::No; });
}

void TestCounterPrograms::cleanup()
{
    setCounterConfigured(false);
    UserPrompt::resetAnswerers();
    service.reset();
    interfaceDir.reset();
}

void TestCounterPrograms::setCounterConfigured(bool configured)
{
    for (const auto& variable : service->configuration()) {
        if (configured)
            qputenv(variable.first.constData(), variable.second);
        else
            qunsetenv(variable.first.constData());
    }
    qunsetenv("VELA_COUNTER_CONFIG");
}

std::unique_ptr<forgewright::forgewright_main_window> TestCounterPrograms::startTrainer(const QList<QByteArray>& words)
{
    CommandLine commandLine(words);
    return std::make_unique<forgewright::forgewright_main_window>(commandLine.argc(), commandLine.argv());
}

void TestCounterPrograms::countButtonSendsOneIncrementPerClick()
{
    auto window = startTrainer({});
    QCOMPARE(managersOf(*window), 0);
    auto* count = window->findChild<QPushButton*>("pushButton_5");
    QVERIFY(count);
    QCOMPARE(count->text(), QString("count"));

    // No marker check on the button: every click counts, even with the marker present.
    testutil::writeBytes(InterfacePaths::countedMarker(), "");
    count->click();
    count->click();
    QCOMPARE(managersOf(*window), 2);
    waitUntilSettled(*window);

    QCOMPARE(service->requestsTo(CounterService::kSignInPath).size(), 2);
    QCOMPARE(service->requestsTo(CounterService::kCommitPath).size(), 2);
    QCOMPARE(service->counter, 2);
}

void TestCounterPrograms::trainWithoutMarkerIncrementsOnceAndMarksBeforeAnyReply()
{
    QVERIFY(!QFileInfo::exists(InterfacePaths::countedMarker()));
    auto window = startTrainer({"train"});
    // The sign-in is on its way and the marker is there before the event loop has delivered
    // anything.
    QCOMPARE(managersOf(*window), 1);
    QVERIFY(QFileInfo::exists(InterfacePaths::countedMarker()));
    QVERIFY(service->requests().isEmpty());
    waitUntilSettled(*window);

    QCOMPARE(service->requestsTo(CounterService::kSignInPath).size(), 1);
    QCOMPARE(service->requestsTo(CounterService::kCommitPath).size(), 1);
    QCOMPARE(service->counter, 1);
}

void TestCounterPrograms::trainWithMarkerSendsNothing()
{
    testutil::writeBytes(InterfacePaths::countedMarker(), "");
    auto window = startTrainer({"train"});
    // Nothing was sent during start-up, so nothing can arrive later.
    QCOMPARE(managersOf(*window), 0);
    QVERIFY(QFileInfo::exists(InterfacePaths::countedMarker()));
    QTest::qWait(0);
    QVERIFY(service->requests().isEmpty());
}

void TestCounterPrograms::trainWithoutCounterConfigurationStillMarks()
{
    setCounterConfigured(false);
    auto window = startTrainer({"train"});
    QCOMPARE(managersOf(*window), 0);
    QVERIFY(QFileInfo::exists(InterfacePaths::countedMarker()));
}

QTEST_MAIN(TestCounterPrograms)
#include "test_counter_programs.moc"
