// The usage counter client against a real HTTP server on 127.0.0.1 that plays the sign-in and
// counter services (tests/support/counter_service.h). The owner object stands in for a
// program's main window.

#include "counter_service.h"
#include "interface_paths.h"
#include "test_support.h"
#include "usage_counter.h"
#include "usage_counter_config.h"

#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

const QList<QByteArray> kCounterVariables{UsageCounterConfig::kConfigFileVariable,
                                          UsageCounterConfig::kSignInUrlVariable,
                                          UsageCounterConfig::kFirestoreUrlVariable,
                                          UsageCounterConfig::kEmailVariable,
                                          UsageCounterConfig::kPasswordVariable};

// Sets environment variables for its lifetime and restores what was there before.
class ScopedEnvironment
{
public:
    explicit ScopedEnvironment(const QList<QPair<QByteArray, QByteArray>>& variables)
    {
        for (const auto& variable : variables) {
            saved.append({variable.first, qEnvironmentVariableIsSet(variable.first.constData()),
                          qgetenv(variable.first.constData())});
            qputenv(variable.first.constData(), variable.second);
        }
    }
    ScopedEnvironment(const QByteArray& name, const QByteArray& value)
        : ScopedEnvironment(QList<QPair<QByteArray, QByteArray>>{{name, value}})
    {
    }
    ~ScopedEnvironment()
    {
        for (auto it = saved.crbegin(); it != saved.crend(); ++it) {
            if (it->wasSet)
                qputenv(it->name.constData(), it->value);
            else
                qunsetenv(it->name.constData());
        }
    }

private:
    struct Saved
    {
        QByteArray name;
        bool wasSet;
        QByteArray value;
    };
    QList<Saved> saved;
};

// Collects what goes to Qt's debug message handler while it lives.
class DebugCapture
{
public:
    DebugCapture() { previous = qInstallMessageHandler(&DebugCapture::collect); }
    ~DebugCapture()
    {
        qInstallMessageHandler(previous);
        messages().clear();
    }
    static QStringList& messages()
    {
        static QStringList collected;
        return collected;
    }

private:
    static void collect(QtMsgType, const QMessageLogContext&, const QString& message) { messages().append(message); }
    QtMessageHandler previous;
};

quint16 unusedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

int managersOf(const QObject& owner) { return owner.findChildren<QNetworkAccessManager*>().size(); }

// The server program's use of the counter: sign in, keep the token (cleared on an error), read.
class CountReader : public QObject
{
public:
    QString id_token = "stale";
    bool start()
    {
        return UsageCounter::signIn(this, [this](bool signedIn, const QString& idToken) {
            if (!signedIn) {
                id_token.clear();
                return;
            }
            id_token = idToken;
            UsageCounter::readCount(this, id_token);
        });
    }
};

} // namespace

class TestUsageCounter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void configurationComesFromVariablesOrFile();
    void incompleteConfigurationIsOff_data();
    void incompleteConfigurationIsOff();
    void withoutConfigurationNothingIsSent();

    void signInSendsTheAccountAsCompactJson();
    void incrementCommitsTheExactTransformWithTheToken();
    void twoIncrementsSignInAndCommitTwice();
    void signInReplyWithoutTokenGivesBareBearer();
    void failedSignInSendsNoCommit();
    void managersBelongToTheOwnerUntilTheirReplyIsHandled();

    void readWritesTheCounterDigitsOnly();
    void readFailuresLeaveTheCountFileAsItWas_data();
    void readFailuresLeaveTheCountFileAsItWas();
    void documentWithoutCounterEmptiesTheCountFile();

private:
    void waitUntilSettled(const QObject& owner);

    std::unique_ptr<ScopedInterfaceDir> interfaceDir;
    std::unique_ptr<CounterService> service;
    std::unique_ptr<ScopedEnvironment> configured;
};

void TestUsageCounter::initTestCase()
{
    // Nothing of the caller's own counter configuration may reach a test.
    for (const QByteArray& name : kCounterVariables)
        qunsetenv(name.constData());
}

void TestUsageCounter::init()
{
    interfaceDir = std::make_unique<ScopedInterfaceDir>();
    service = std::make_unique<CounterService>();
    QVERIFY(service->start());
    configured = std::make_unique<ScopedEnvironment>(service->configuration());
}

void TestUsageCounter::cleanup()
{
    configured.reset();
    service.reset();
    interfaceDir.reset();
}

// Every exchange has ended once the owner holds no manager any more: each is released only
// after its reply has been handled, and a follow-up request gets its manager before that.
void TestUsageCounter::waitUntilSettled(const QObject& owner)
{
    QTRY_COMPARE_WITH_TIMEOUT(managersOf(owner), 0, 30000);
}

void TestUsageCounter::configurationComesFromVariablesOrFile()
{
    UsageCounterConfig config = UsageCounterConfig::fromEnvironment();
    QVERIFY(config.isComplete());
    QCOMPARE(config.signInUrl, service->signInUrl());
    QCOMPARE(config.email, CounterService::kEmail);
    QCOMPARE(config.password, CounterService::kPassword);
    QCOMPARE(config.signInEndpoint().toString(QUrl::FullyEncoded), service->signInUrl());
    QCOMPARE(config.commitEndpoint().toString(QUrl::FullyEncoded),
             service->firestoreUrl() + QString::fromLatin1(CounterService::kCommitPath));
    QCOMPARE(config.counterDocumentEndpoint().toString(QUrl::FullyEncoded),
             service->firestoreUrl() + QString::fromLatin1(CounterService::kDocumentPath));

    // A trailing slash on the service root does not double the path's slash.
    {
        ScopedEnvironment slash("VELA_COUNTER_FIRESTORE_URL", "https://firestore.example.test/");
        QCOMPARE(UsageCounterConfig::fromEnvironment().commitEndpoint().toString(QUrl::FullyEncoded),
                 "https://firestore.example.test" + QString::fromLatin1(CounterService::kCommitPath));
    }

    // The same from a file; a variable that is set wins over the file.
    configured.reset();
    const QString file = interfaceDir->file("counter.json");
    testutil::writeBytes(file, QJsonDocument(QJsonObject{{"signin_url", "https://signin.example.test/v1/accounts:signInWithPassword?key=k"},
                                                         {"firestore_url", "https://firestore.example.test"},
                                                         {"email", "file@example.test"},
                                                         {"password", "from-file"}})
                                   .toJson());
    ScopedEnvironment fromFile(QList<QPair<QByteArray, QByteArray>>{{"VELA_COUNTER_CONFIG", file.toUtf8()},
                                                                    {"VELA_COUNTER_PASSWORD", "from-variable"}});
    config = UsageCounterConfig::fromEnvironment();
    QVERIFY(config.isComplete());
    QCOMPARE(config.signInUrl, "https://signin.example.test/v1/accounts:signInWithPassword?key=k");
    QCOMPARE(config.firestoreUrl, "https://firestore.example.test");
    QCOMPARE(config.email, "file@example.test");
    QCOMPARE(config.password, "from-variable");
}

void TestUsageCounter::incompleteConfigurationIsOff_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("no password") << QByteArray("VELA_COUNTER_PASSWORD") << QByteArray();
    QTest::newRow("no e-mail") << QByteArray("VELA_COUNTER_EMAIL") << QByteArray();
    QTest::newRow("no sign-in URL") << QByteArray("VELA_COUNTER_SIGNIN_URL") << QByteArray();
    QTest::newRow("sign-in URL without scheme") << QByteArray("VELA_COUNTER_SIGNIN_URL") << QByteArray("signin.example.test/v1");
    QTest::newRow("Firestore URL of another scheme") << QByteArray("VELA_COUNTER_FIRESTORE_URL") << QByteArray("ftp://firestore.example.test");
}

void TestUsageCounter::incompleteConfigurationIsOff()
{
    QFETCH(QByteArray, variable);
    QFETCH(QByteArray, value);
    ScopedEnvironment changed(variable, value);
    if (value.isNull())
        qunsetenv(variable.constData());
    QVERIFY(!UsageCounterConfig::fromEnvironment().isComplete());
    QVERIFY(UsageCounterConfig::fromEnvironment().problems().contains(QString::fromLatin1(variable)));

    DebugCapture debug;
    QObject owner;
    CountReader reader;
    QVERIFY(!UsageCounter::increment(&owner));
    QVERIFY(!reader.start());
    QCOMPARE(managersOf(owner), 0);
    QCOMPARE(managersOf(reader), 0);
    // Half a configuration is worth a line in the debug log, naming what is missing.
    QVERIFY(!DebugCapture::messages().filter("usage counter off").filter(QString::fromLatin1(variable)).isEmpty());
}

void TestUsageCounter::withoutConfigurationNothingIsSent()
{
    configured.reset();
    testutil::writeBytes(InterfacePaths::usageCountFile(), "7");
    DebugCapture debug;
    QObject owner;
    bool handled = false;
    QVERIFY(!UsageCounter::increment(&owner));
    QVERIFY(!UsageCounter::signIn(&owner, [&handled](bool, const QString&) { handled = true; }));
    QVERIFY(!UsageCounter::readCount(&owner, "token-1"));
    // No manager, so no request can be under way.
    QCOMPARE(managersOf(owner), 0);
    QTest::qWait(0);
    QVERIFY(!handled);
    QVERIFY(service->requests().isEmpty());
    QCOMPARE(testutil::readBytes(InterfacePaths::usageCountFile()), QByteArray("7"));
    QVERIFY(DebugCapture::messages().isEmpty());

    // A configuration file that names nothing usable is the same as none, apart from its report.
    testutil::writeBytes(interfaceDir->file("counter.json"), "[1, 2]");
    ScopedEnvironment badFile("VELA_COUNTER_CONFIG", interfaceDir->file("counter.json").toUtf8());
    QVERIFY(!UsageCounter::increment(&owner));
    QCOMPARE(managersOf(owner), 0);
    QVERIFY(!DebugCapture::messages().filter("not a JSON object").isEmpty());
}

void TestUsageCounter::signInSendsTheAccountAsCompactJson()
{
    QObject owner;
    QVERIFY(UsageCounter::increment(&owner));
    waitUntilSettled(owner);

    const QList<HttpRequest> signIns = service->requestsTo(CounterService::kSignInPath);
    QCOMPARE(signIns.size(), 1);
    const HttpRequest& signIn = signIns.first();
    QCOMPARE(signIn.method, QByteArray("POST"));
    QCOMPARE(signIn.query(), "key=" + CounterService::kApiKey.toUtf8());
    QCOMPARE(signIn.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(signIn.body, QByteArray(R"({"email":"counter.tester@example.test","password":"p\"ss\\word/1","returnSecureToken":true})"));
    QCOMPARE(UsageCounter::signInBody("a@b.c", "pw"), QByteArray(R"({"email":"a@b.c","password":"pw","returnSecureToken":true})"));
}

void TestUsageCounter::incrementCommitsTheExactTransformWithTheToken()
{
    DebugCapture debug;
    QObject owner;
    QVERIFY(UsageCounter::increment(&owner));
    waitUntilSettled(owner);

    QCOMPARE(service->requests().size(), 2);
    QCOMPARE(service->requests().at(0).path(), CounterService::kSignInPath);
    const HttpRequest& commit = service->requests().at(1);
    QCOMPARE(commit.method, QByteArray("POST"));
    QCOMPARE(commit.target, CounterService::kCommitPath);
    QCOMPARE(commit.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(commit.header("Authorization"), QByteArray("Bearer token-1"));
    QCOMPARE(commit.body.size(), 218);
    QCOMPARE(commit.body, CounterService::kIncrementCommit);
    QCOMPARE(UsageCounter::incrementBody(), CounterService::kIncrementCommit);
    QCOMPARE(service->counter, 1);

    // The commit reply object goes to the debug log.
    const QStringList logged = DebugCapture::messages().filter("QJsonObject(");
    QCOMPARE(logged.size(), 1);
    QVERIFY(logged.first().contains("\"commitTime\""));
    QVERIFY(logged.first().contains("\"integerValue\":\"1\""));
}

void TestUsageCounter::twoIncrementsSignInAndCommitTwice()
{
    // Two presses in a row: two independent exchanges, both in flight at once.
    QObject owner;
    QVERIFY(UsageCounter::increment(&owner));
    QVERIFY(UsageCounter::increment(&owner));
    QCOMPARE(managersOf(owner), 2);
    waitUntilSettled(owner);

    QCOMPARE(service->requestsTo(CounterService::kSignInPath).size(), 2);
    const QList<HttpRequest> commits = service->requestsTo(CounterService::kCommitPath);
    QCOMPARE(commits.size(), 2);
    QStringList tokens{commits.at(0).header("Authorization"), commits.at(1).header("Authorization")};
    tokens.sort();
    QCOMPARE(tokens, QStringList({"Bearer token-1", "Bearer token-2"}));
    QCOMPARE(service->counter, 2);

    // The server program then reads what the two increments made.
    CountReader reader;
    QVERIFY(reader.start());
    waitUntilSettled(reader);
    QCOMPARE(testutil::readBytes(InterfacePaths::usageCountFile()), QByteArray("2"));
}

void TestUsageCounter::signInReplyWithoutTokenGivesBareBearer()
{
    service->signInGivesToken = false;
    DebugCapture debug;
    QObject owner;
    QVERIFY(UsageCounter::increment(&owner));
    waitUntilSettled(owner);

    const QList<HttpRequest> commits = service->requestsTo(CounterService::kCommitPath);
    QCOMPARE(commits.size(), 1);
    QCOMPARE(commits.first().header("Authorization"), QByteArray("Bearer "));
    // The service refuses it; nothing is logged and the counter stays.
    QCOMPARE(service->counter, 0);
    QVERIFY(DebugCapture::messages().filter("QJsonObject(").isEmpty());

    // The server program keeps the empty token and reads with it.
    CountReader reader;
    QVERIFY(reader.start());
    waitUntilSettled(reader);
    QCOMPARE(reader.id_token, QString(""));
    const QList<HttpRequest> reads = service->requestsTo(CounterService::kDocumentPath);
    QCOMPARE(reads.size(), 1);
    QCOMPARE(reads.first().header("Authorization"), QByteArray("Bearer "));
}

void TestUsageCounter::failedSignInSendsNoCommit()
{
    service->signInFailure = 400;
    DebugCapture debug;
    QObject owner;
    QVERIFY(UsageCounter::increment(&owner));
    waitUntilSettled(owner);
    QCOMPARE(service->requests().size(), 1);
    QVERIFY(service->requestsTo(CounterService::kCommitPath).isEmpty());
    QVERIFY(DebugCapture::messages().isEmpty());

    // A failed commit is not reported either.
    service->signInFailure = 0;
    service->commitFailure = 500;
    QVERIFY(UsageCounter::increment(&owner));
    waitUntilSettled(owner);
    QCOMPARE(service->requestsTo(CounterService::kCommitPath).size(), 1);
    QVERIFY(DebugCapture::messages().isEmpty());
}

void TestUsageCounter::managersBelongToTheOwnerUntilTheirReplyIsHandled()
{
    QObject owner;
    QVERIFY(UsageCounter::increment(&owner));
    const QList<QNetworkAccessManager*> managers = owner.findChildren<QNetworkAccessManager*>();
    QCOMPARE(managers.size(), 1);
    QCOMPARE(managers.first()->parent(), &owner);
    QPointer<QNetworkAccessManager> signInManager = managers.first();
    // The commit gets a manager of its own; the sign-in's is released.
    QTRY_VERIFY(!service->requestsTo(CounterService::kCommitPath).isEmpty());
    QTRY_VERIFY(signInManager.isNull());
    waitUntilSettled(owner);
}

void TestUsageCounter::readWritesTheCounterDigitsOnly()
{
    service->counter = 41;
    testutil::writeBytes(InterfacePaths::usageCountFile(), "1234567");
    DebugCapture debug;
    CountReader reader;
    QVERIFY(reader.start());
    waitUntilSettled(reader);

    QCOMPARE(reader.id_token, QString("token-1"));
    const QList<HttpRequest> reads = service->requestsTo(CounterService::kDocumentPath);
    QCOMPARE(reads.size(), 1);
    QCOMPARE(reads.first().method, QByteArray("GET"));
    QCOMPARE(reads.first().target, CounterService::kDocumentPath);
    QCOMPARE(reads.first().header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(reads.first().header("Authorization"), QByteArray("Bearer token-1"));
    QCOMPARE(testutil::readBytes(InterfacePaths::usageCountFile()), QByteArray("41"));
    QVERIFY(DebugCapture::messages().contains("colab_count : 41"));
    // Written whole: no temporary file is left beside it.
    QCOMPARE(QDir(interfaceDir->path()).entryList(QDir::Files), QStringList{"ruzerizozize_colab.count"});
}

void TestUsageCounter::readFailuresLeaveTheCountFileAsItWas_data()
{
    QTest::addColumn<int>("signInFailure");
    QTest::addColumn<int>("readFailure");
    QTest::addColumn<bool>("serviceAway");
    QTest::addColumn<QString>("tokenAfter");
    QTest::newRow("sign-in refused") << 400 << 0 << false << "";
    QTest::newRow("sign-in server error") << 500 << 0 << false << "";
    QTest::newRow("read refused") << 0 << 403 << false << "token-1";
    QTest::newRow("document missing") << 0 << 404 << false << "token-1";
    QTest::newRow("no server") << 0 << 0 << true << "";
}

void TestUsageCounter::readFailuresLeaveTheCountFileAsItWas()
{
    QFETCH(int, signInFailure);
    QFETCH(int, readFailure);
    QFETCH(bool, serviceAway);
    QFETCH(QString, tokenAfter);
    service->counter = 41;
    service->signInFailure = signInFailure;
    service->readFailure = readFailure;
    std::unique_ptr<ScopedEnvironment> away;
    if (serviceAway) {
        const QByteArray nowhere = "http://127.0.0.1:" + QByteArray::number(unusedPort());
        away = std::make_unique<ScopedEnvironment>(QList<QPair<QByteArray, QByteArray>>{
            {"VELA_COUNTER_SIGNIN_URL", nowhere + CounterService::kSignInPath + "?key=" + CounterService::kApiKey.toUtf8()},
            {"VELA_COUNTER_FIRESTORE_URL", nowhere}});
    }
    testutil::writeBytes(InterfacePaths::usageCountFile(), "7");
    DebugCapture debug;
    CountReader reader;
    QVERIFY(reader.start());
    waitUntilSettled(reader);

    QCOMPARE(reader.id_token, tokenAfter);
    QCOMPARE(service->requestsTo(CounterService::kDocumentPath).size(), readFailure ? 1 : 0);
    QCOMPARE(testutil::readBytes(InterfacePaths::usageCountFile()), QByteArray("7"));
    QVERIFY(DebugCapture::messages().filter("colab_count").isEmpty());
}

void TestUsageCounter::documentWithoutCounterEmptiesTheCountFile()
{
    service->documentHasValue = false;
    testutil::writeBytes(InterfacePaths::usageCountFile(), "7");
    CountReader reader;
    QVERIFY(reader.start());
    waitUntilSettled(reader);
    QVERIFY(QFileInfo::exists(InterfacePaths::usageCountFile()));
    QCOMPARE(testutil::readBytes(InterfacePaths::usageCountFile()), QByteArray(""));

    // A count file that cannot be replaced stays as it was, and nothing is logged.
    service->documentHasValue = true;
    service->counter = 5;
    const QString blocked = interfaceDir->file("blocked");
    QVERIFY(QDir().mkpath(blocked + "/ruzerizozize_colab.count"));
    ScopedEnvironment elsewhere(InterfacePaths::kEnvironmentVariable, blocked.toUtf8());
    DebugCapture debug;
    CountReader second;
    QVERIFY(second.start());
    waitUntilSettled(second);
    QCOMPARE(service->requestsTo(CounterService::kDocumentPath).size(), 2);
    QVERIFY(QFileInfo(InterfacePaths::usageCountFile()).isDir());
    QVERIFY(DebugCapture::messages().filter("colab_count").isEmpty());
}

QTEST_GUILESS_MAIN(TestUsageCounter)
#include "test_usage_counter.moc"
