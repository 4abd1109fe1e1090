// Whole-file writes: a reader sees the old content or the new one, never a part.
#include "atomic_file.h"
#include "test_support.h"

#include <QtTest>

#include <cstdio>
#include <unistd.h>

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

    void copiesWholeOrNotAtAll()
    {
        QTemporaryDir dir;
        const QByteArray bytes = QByteArray(3 << 20, 'w') + "end"; // more than one chunk
        testutil::writeBytes(dir.path() + "/source", bytes);
        const QString target = dir.path() + "/copy";
        testutil::writeBytes(target, "old");
        QVERIFY(AtomicFile::copy(dir.path() + "/source", target));
        QCOMPARE(testutil::readBytes(target), bytes);
        QVERIFY(!AtomicFile::copy(dir.path() + "/missing", target));
        QVERIFY(!AtomicFile::copy(dir.path(), target));
        QCOMPARE(testutil::readBytes(target), bytes);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"copy", "source"}));
    }

    // Writers that open the file by its name (libdarknet) fill the temporary file themselves.
    void fillsThroughTheTemporaryPathAndKeepsPermissions()
    {
        QTemporaryDir dir;
        const QString target = dir.path() + "/train.backup";
        testutil::writeBytes(target, "old");
        QVERIFY(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        const std::string path = QFile::encodeName(target).toStdString();
        const auto byName = [](int, const std::string& temporary) {
            FILE* file = std::fopen(temporary.c_str(), "wb");
            return file && std::fputs("new", file) >= 0 && std::fclose(file) == 0;
        };
        QVERIFY(WholeFile::write(path, byName, WholeFile::Durability::Unsynced));
        QCOMPARE(testutil::readBytes(target), QByteArray("new"));
        QVERIFY(!(QFileInfo(target).permissions() & QFileDevice::ReadOther));

        const auto halfThenFail = [](int fd, const std::string&) { return ::write(fd, "half", 4) < 0; };
        QVERIFY(!WholeFile::write(path, halfThenFail, WholeFile::Durability::Synced));
        QCOMPARE(testutil::readBytes(target), QByteArray("new"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"train.backup"}));
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
