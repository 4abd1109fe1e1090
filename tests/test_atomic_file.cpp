// Whole-file writes: a reader sees the old content or the new one, never a part.
#include "atomic_file.h"
#include "test_support.h"

#include <QtTest>

class TestAtomicFile : public QObject
{
    Q_OBJECT

private slots:
    void writesAndReplacesWhole_data()
    {
        QTest::addColumn<int>("durability");
        QTest::newRow("synced") << int(AtomicFile::Durability::Synced);
        QTest::newRow("unsynced") << int(AtomicFile::Durability::Unsynced);
    }

    void writesAndReplacesWhole()
    {
        QFETCH(int, durability);
        const auto mode = AtomicFile::Durability(durability);
        QTemporaryDir dir;
        const QString path = dir.path() + "/record with blank $x.json";
        QVERIFY(AtomicFile::write(path, QByteArray(1 << 20, 'a'), mode));
        QVERIFY(AtomicFile::write(path, "{\"b\":1}\n", mode));
        QCOMPARE(testutil::readBytes(path), QByteArray("{\"b\":1}\n"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"record with blank $x.json"}));
        // Others (the notebook, another user) may read it.
        QVERIFY(QFileInfo(path).permissions() & QFileDevice::ReadOther);
    }

    void failsCleanlyWhereNothingCanBeWritten()
    {
        QTemporaryDir dir;
        QVERIFY(!AtomicFile::write(dir.path() + "/missing/file", "x", AtomicFile::Durability::Unsynced));
        QVERIFY(!AtomicFile::write(dir.path() + "/missing/file", "x"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    }

    void touchKeepsContent()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + "/marker";
        QVERIFY(AtomicFile::touch(path));
        QCOMPARE(QFileInfo(path).size(), qint64(0));
        testutil::writeBytes(path, "kept");
        QVERIFY(AtomicFile::touch(path));
        QCOMPARE(testutil::readBytes(path), QByteArray("kept"));
    }
};

QTEST_APPLESS_MAIN(TestAtomicFile)
#include "test_atomic_file.moc"
