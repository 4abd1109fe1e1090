// The ROS node thread of both programs, against a real rosmaster on 127.0.0.1. roscpp keeps its
// state per process and initialises only once, so each scenario runs in a fresh qnode_probe
// process; the test reads back what the probe observed.

#include <QDir>
#include <QMap>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

quint16 freePort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

QString masterUrl(quint16 port) { return QString("http://127.0.0.1:%1/").arg(port); }

// ROS writes logs and keeps state under ROS_HOME / ROS_LOG_DIR; both point into the test's own
// folder, and no ROS variable of the caller leaks in.
QProcessEnvironment rosEnvironment(const QString& rosHome, const QString& masterUri)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& key : env.keys()) {
        if (key.startsWith("ROS_"))
            env.remove(key);
    }
    env.insert("ROS_HOME", rosHome);
    env.insert("ROS_LOG_DIR", rosHome + "/log");
    env.insert("ROS_HOSTNAME", "127.0.0.1");
    env.insert("ROS_MASTER_URI", masterUri);
    return env;
}

// What a probe run printed, as key -> value.
using Observations = QMap<QString, QString>;

// Generous bound: a node whose destruction hangs must fail the test rather than stall it.
constexpr int kProbeLimitMs = 60000;

} // namespace

class TestQNode : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void nodeRegistersSpinsAndShutsDownOnDestruction_data();
    void nodeRegistersSpinsAndShutsDownOnDestruction();
    void rosArgumentsAreTakenFromTheCommandLine();
    void nodeWithoutMasterStillSpinsAndIsDestroyed_data();
    void nodeWithoutMasterStillSpinsAndIsDestroyed();
    void destructionRightAfterConstructionReturns_data();
    void destructionRightAfterConstructionReturns();
    void initWithMasterAndHostUsesBothRemappings();
    void initWithMasterAndHostWithoutMasterIsFalse();

private:
    Observations runProbe(const QStringList& arguments, const QString& masterUri);

    QTemporaryDir rosHome;
    QProcess master;
    quint16 masterPort = 0;
    quint16 deadPort = 0;
};

void TestQNode::initTestCase()
{
    QVERIFY(rosHome.isValid());
    QVERIFY(QDir().mkpath(rosHome.path() + "/log"));
    masterPort = freePort();
    deadPort = freePort();
    QVERIFY(masterPort != 0 && deadPort != 0 && masterPort != deadPort);

    master.setProcessEnvironment(rosEnvironment(rosHome.path(), masterUrl(masterPort)));
    master.setProcessChannelMode(QProcess::MergedChannels);
    master.start("rosmaster", {"--core", "-p", QString::number(masterPort)});
    QVERIFY2(master.waitForStarted(), qPrintable(master.errorString()));

    // The master is ready once its XML-RPC port accepts connections.
    bool listening = false;
    for (int attempt = 0; attempt < 300 && !listening && master.state() == QProcess::Running; ++attempt) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, masterPort);
        listening = socket.waitForConnected(1000);
        if (!listening)
            QTest::qWait(100);
    }
    QVERIFY2(listening, master.readAll().constData());
}

void TestQNode::cleanupTestCase()
{
    if (master.state() == QProcess::NotRunning)
        return;
    master.terminate();
    if (!master.waitForFinished(30000))
        master.kill();
    master.waitForFinished();
}

Observations TestQNode::runProbe(const QStringList& arguments, const QString& masterUri)
{
    QProcess probe;
    probe.setProcessEnvironment(rosEnvironment(rosHome.path(), masterUri));
    probe.start(QNODE_PROBE, arguments);
    Observations seen;
    if (!probe.waitForStarted()) {
        seen["error"] = probe.errorString();
        return seen;
    }
    if (!probe.waitForFinished(kProbeLimitMs)) {
        probe.kill();
        probe.waitForFinished();
        seen["error"] = "the probe did not end: " + QString::fromUtf8(probe.readAllStandardOutput());
        return seen;
    }
    if (probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
        seen["error"] = QString("the probe failed (%1): ").arg(probe.exitCode()) + probe.readAllStandardError();
    const QList<QByteArray> lines = probe.readAllStandardOutput().split('\n');
    for (const QByteArray& line : lines) {
        const int equals = line.indexOf('=');
        if (equals > 0)
            seen[QString::fromUtf8(line.left(equals))] = QString::fromUtf8(line.mid(equals + 1));
    }
    return seen;
}

void TestQNode::nodeRegistersSpinsAndShutsDownOnDestruction_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("forgewright") << "forgewright";
    QTest::newRow("seerkeep") << "seerkeep";
}

void TestQNode::nodeRegistersSpinsAndShutsDownOnDestruction()
{
    QFETCH(QString, program);
    const Observations seen = runProbe({program, "spin"}, masterUrl(masterPort));
    QVERIFY2(!seen.contains("error"), qPrintable(seen.value("error")));

    QCOMPARE(seen.value("running"), "1");
    QCOMPARE(seen.value("node_name"), "/" + program);
    QCOMPARE(seen.value("master_answers"), "1");
    // init() started the node before the constructor returned: the master knows it.
    QCOMPARE(seen.value("started"), "1");
    QVERIFY2(seen.value("registered").split(';').contains("/" + program), qPrintable(seen.value("registered")));
    QCOMPARE(seen.value("init_again"), "1");
    // Destruction shut ROS down and joined the spinning thread before returning.
    QCOMPARE(seen.value("finished_before_destructor_returned"), "1");
    QCOMPARE(seen.value("ok_after"), "0");
    QCOMPARE(seen.value("started_after"), "0");
}

void TestQNode::rosArgumentsAreTakenFromTheCommandLine()
{
    // ROS takes its own arguments out of argc/argv: the node keeps only the program name.
    const Observations seen = runProbe({"forgewright", "spin", "__name:=renamed_node"}, masterUrl(masterPort));
    QVERIFY2(!seen.contains("error"), qPrintable(seen.value("error")));
    QCOMPARE(seen.value("argc"), "1");
    QCOMPARE(seen.value("node_name"), "/renamed_node");
    QVERIFY(seen.value("registered").split(';').contains("/renamed_node"));
    QCOMPARE(seen.value("finished_before_destructor_returned"), "1");
}

void TestQNode::nodeWithoutMasterStillSpinsAndIsDestroyed_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("mode");
    QTest::newRow("forgewright, destroyed after use") << "forgewright" << "spin";
    QTest::newRow("seerkeep, destroyed after use") << "seerkeep" << "spin";
    // The spinning thread has started ROS itself and waits for a master inside ros::start().
    QTest::newRow("forgewright, destroyed once the spin started ROS") << "forgewright" << "spin-until-started";
    QTest::newRow("seerkeep, destroyed once the spin started ROS") << "seerkeep" << "spin-until-started";
}

void TestQNode::nodeWithoutMasterStillSpinsAndIsDestroyed()
{
    QFETCH(QString, program);
    QFETCH(QString, mode);
    const Observations seen = runProbe({program, mode}, masterUrl(deadPort));
    QVERIFY2(!seen.contains("error"), qPrintable(seen.value("error")));

    QCOMPARE(seen.value("running"), "1");
    QCOMPARE(seen.value("master_answers"), "0");
    QCOMPARE(seen.value("init_again"), "0");
    QCOMPARE(seen.value("finished_before_destructor_returned"), "1");
    QCOMPARE(seen.value("started_after"), "0");
    // A thread that got into the spin started ROS itself and was shut down; one that had not got
    // there yet was kept out of it, and ROS, never started, was never shut down either.
    if (mode == "spin-until-started")
        QCOMPARE(seen.value("ok_after"), "0");
}

void TestQNode::destructionRightAfterConstructionReturns_data()
{
    QTest::addColumn<bool>("withMaster");
    QTest::newRow("with master") << true;
    QTest::newRow("without master") << false;
}

void TestQNode::destructionRightAfterConstructionReturns()
{
    // Destroyed before or while its thread enters ros::spin(): repeated in fresh processes, so
    // that different interleavings of the two threads come up.
    QFETCH(bool, withMaster);
    const int runs = 5;
    for (int run = 0; run < runs; ++run) {
        const Observations seen = runProbe({"seerkeep", "spin-at-once"}, masterUrl(withMaster ? masterPort : deadPort));
        QVERIFY2(!seen.contains("error"), qPrintable(seen.value("error")));
        QCOMPARE(seen.value("finished_before_destructor_returned"), "1");
        QCOMPARE(seen.value("started_after"), "0");
    }
}

void TestQNode::initWithMasterAndHostUsesBothRemappings()
{
    // The environment names a dead master and another host name: only the remappings can
    // lead the node to the live master and to this host name.
    const QString url = masterUrl(masterPort);
    const Observations seen = runProbe({"remap", url, "localhost"}, masterUrl(deadPort));
    QVERIFY2(!seen.contains("error"), qPrintable(seen.value("error")));
    QCOMPARE(seen.value("init"), "1");
    QCOMPARE(seen.value("master_uri"), url);
    QCOMPARE(seen.value("host"), "localhost");
    QCOMPARE(seen.value("started"), "1");
}

void TestQNode::initWithMasterAndHostWithoutMasterIsFalse()
{
    const QString url = masterUrl(deadPort);
    const Observations seen = runProbe({"remap", url, "localhost"}, masterUrl(masterPort));
    QVERIFY2(!seen.contains("error"), qPrintable(seen.value("error")));
    QCOMPARE(seen.value("init"), "0");
    QCOMPARE(seen.value("master_uri"), url);
    QCOMPARE(seen.value("started"), "0");
}

QTEST_GUILESS_MAIN(TestQNode)
#include "test_qnode.moc"
