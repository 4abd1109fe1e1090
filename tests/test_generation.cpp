// Generation of the darknet training folder: its pure parts, and real runs of the trainer dialog
// on small synthetic projects.
#include "augmentation_enumerator.h"
#include "augmentation_settings.h"
#include "dialog_ruzerizozize.h"
#include "interface_paths.h"
#include "model_data.h"
#include "model_template.h"
#include "ordered_worker_pool.h"
#include "picture_file.h"
#include "sample_writer.h"
#include "test_support.h"
#include "training_folder.h"
#include "user_prompt.h"
#include "validation_split.h"

#include <darknet.h>

#include <QJsonDocument>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <atomic>
#include <chrono>
#include <thread>

// Darknet's classifier label matching (exported by the library, not declared in its header):
// sets truth[i] for every label that is a substring of the path.
extern "C" void fill_truth(char* path, char** labels, int k, float* truth);

namespace {

const QRegularExpression kHexId("^[0-9a-f]{32}$");

QStringList lines(const QString& path)
{
    // Lists have no line break after their last line; an empty file is an empty list.
    const QString text = testutil::readAll(path);
    return text.isEmpty() ? QStringList() : text.split('\n');
}

// Few variants per image: rotations 0 and 90, each plain and mirrored, less the untouched one.
QJsonObject smallAugmentation()
{
    return QJsonObject{{"is_rotate", true}, {"rotate_min", 0},     {"rotate_max", 90}, {"rotate_step", 90},
                       {"is_contrast", false}, {"is_noise", false}, {"is_blur", false}, {"is_fh", true},
                       {"is_fv", false}};
}

QJsonObject baseState(const QString& project, const QString& gen)
{
    return QJsonObject{{"prj_path", project},       {"gen_path", gen},
                       {"keep_aspect_ratio", true}, {"augmen", smallAugmentation()},
                       {"use_augmen", false},       {"use_class_balancing", false},
                       {"use_random_class", false}, {"model", "VoderoVod_32"},
                       {"unknown_classes", 0},      {"batch", 4},
                       {"subdivisions", 2},         {"gen_jpg", true},
                       {"gen_png", false},          {"gen_size", 64}};
}

QJsonObject with(QJsonObject state, const QJsonObject& changes)
{
    for (auto it = changes.begin(); it != changes.end(); ++it)
        state[it.key()] = it.value();
    return state;
}

cv::Size imageSize(const QString& path)
{
    const cv::Mat image = cv::imread(path.toStdString(), cv::IMREAD_COLOR);
    return image.size();
}

// Folders made of bad files: cut short, no image at all, empty.
void writeBadFiles(const QString& folder, const QString& tag)
{
    QDir().mkpath(folder);
    std::vector<uchar> jpeg;
    std::vector<uchar> png;
    const cv::Mat image = SyntheticProject::shapeImage("circle", 64, 3);
    cv::imencode(".jpg", image, jpeg);
    cv::imencode(".png", image, png);
    testutil::writeBytes(folder + "/cut_" + tag + ".jpg",
                         QByteArray(reinterpret_cast<const char*>(jpeg.data()), int(jpeg.size() * 2 / 3)));
    testutil::writeBytes(folder + "/cut_" + tag + ".png",
                         QByteArray(reinterpret_cast<const char*>(png.data()), int(png.size() * 2 / 3)));
    testutil::writeBytes(folder + "/text_" + tag + ".jpg", "this is no picture\n");
    testutil::writeBytes(folder + "/empty_" + tag + ".png", QByteArray());
}

QProgressBar* progressBar(DialogRuzerizOzize& dialog)
{
    return dialog.findChild<QProgressBar*>("progressBar_gen");
}

// A generated training folder as the files show it.
struct TrainingFolderOnDisk
{
    explicit TrainingFolderOnDisk(const QString& genFolder)
        : root(genFolder + "/data_gen"),
          labels(lines(root + "/labels.txt")),
          names(lines(root + "/names.list")),
          entries(lines(root + "/train.list")),
          dataText(testutil::readAll(root + "/data.data"))
    {
    }

    // Entries whose path holds the label of class index i.
    QStringList entriesOf(int i) const
    {
        QStringList found;
        for (const QString& entry : entries)
            if (entry.contains(labels.at(i)))
                found << entry;
        return found;
    }
    QString fileOf(const QString& entry) const { return QFileInfo(root).path() + "/" + entry; }

    QString root;
    QStringList labels;
    QStringList names;
    QStringList entries;
    QString dataText;
};

} // namespace

class TestGeneration : public QObject
{
    Q_OBJECT

    ScopedInterfaceDir interfaceDir;

    // Runs a generation as the generate button does; returns the generation folder.
    static void generate(const QJsonObject& state, int threads = 0)
    {
        DialogRuzerizOzize dialog;
        dialog.generationThreads = threads;
        dialog.restoreState(state);
        dialog.on_pushButton_gen_clicked();
    }

    static int variantsPerImage() { return int(AugmentationEnumerator::count(AugmentationSettings::fromState(smallAugmentation()))); }

private slots:
    // Browsing a project whose first image is bad shows an error box: nobody is there to close it.
    void initTestCase() { UserPrompt::setBatchMode(true); }
    void cleanup() { UserPrompt::resetAnswerers(); }

    // ---- the pure parts ----

    void labelsAndNamesFollowTheClassName_data()
    {
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("labelPrefix");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "cat" << "" << "cat";
        QTest::newRow("null") << "NULL" << "NULL-" << "";
        QTest::newRow("null suffix") << "NULL_background" << "NULL-" << "";
        QTest::newRow("null before unknown") << "NULLUNKNOWN-" << "NULL-" << "";
        QTest::newRow("lowercase null") << "null" << "" << "null";
        QTest::newRow("unknown") << "UNKNOWN-2" << "UNKNOWN-2" << "UNKNOWN";
        QTest::newRow("random") << "RANDOM-" << "RANDOM-" << "UNKNOWN";
    }
    void labelsAndNamesFollowTheClassName()
    {
        QFETCH(QString, className);
        QFETCH(QString, labelPrefix);
        QFETCH(QString, name);
        const QString id = TrainingFolder::randomId();
        QVERIFY(kHexId.match(id).hasMatch());
        const TrainingFolder::ClassLabel entry = TrainingFolder::labelFor(className, id);
        QCOMPARE(entry.label, labelPrefix + id);
        QCOMPARE(entry.displayName, name);
    }

    void labelTableIsFreshAndInKeyOrder()
    {
        const QStringList classes{"NULL", "UNKNOWN-0", "cat", "dog"};
        const TrainingFolder::LabelTable first = TrainingFolder::makeLabelTable(classes);
        const TrainingFolder::LabelTable second = TrainingFolder::makeLabelTable(classes);
        QCOMPARE(first.namesText, QString("\nUNKNOWN\ncat\ndog"));
        const QStringList labels = first.labelsText.split('\n');
        QCOMPARE(labels.size(), 4);
        for (int i = 0; i < classes.size(); ++i) {
            QCOMPARE(first.labelOf.value(classes[i]), labels[i]);
            QVERIFY(first.labelOf.value(classes[i]) != second.labelOf.value(classes[i]));
        }
        const QString fileName = TrainingFolder::imageFileName(TrainingFolder::randomId(), labels[2], ".jpg");
        QVERIFY(QRegularExpression("^[0-9a-f]{32}_[0-9a-f]{32}\\.jpg$").match(fileName).hasMatch());
        QCOMPARE(TrainingFolder::trainEntry(fileName), "data_gen/train/" + fileName);
    }

    void dataFileNamesTheListsAndTheClassCount()
    {
        QCOMPARE(TrainingFolder::dataFileText(5), QString("classes=5\n"
                                                          "train   = data_gen/train.list\n"
                                                          "valid   = data_gen/test.list\n"
                                                          "labels  = data_gen/labels.txt\n"
                                                          "names   = data_gen/names.list\n"
                                                          "backup  = data_gen/backup\n"
                                                          "top=1"));
        QCOMPARE(TrainingFolder::versionText(1, "mobilenet-v2"), QString("1:mobilenet-v2"));
    }

    void balancingRepeatsEachClassFromItsFirstEntry()
    {
        TrainingFolder::ClassEntries entries{
            {"a", {"a0", "a1", "a2", "a3", "a4"}}, {"b", {"b0", "b1"}}, {"c", {"c0"}}, {"d", {}}};
        QCOMPARE(TrainingFolder::balance(entries), 5);
        QCOMPARE(entries["a"], QStringList({"a0", "a1", "a2", "a3", "a4"}));
        QCOMPARE(entries["b"], QStringList({"b0", "b1", "b0", "b1", "b0"}));
        QCOMPARE(entries["c"], QStringList({"c0", "c0", "c0", "c0", "c0"}));
        QVERIFY(entries["d"].isEmpty());

        TrainingFolder::ClassEntries none;
        QCOMPARE(TrainingFolder::balance(none), 0);
    }

    void trainingListIsAShuffleOfAllEntries()
    {
        const TrainingFolder::ClassEntries entries{{"a", {"a0", "a1", "a0"}}, {"b", {"b0"}}};
        std::mt19937 rng(7);
        const QString text = TrainingFolder::trainingListText(entries, rng);
        QVERIFY(!text.endsWith('\n'));
        QStringList got = text.split('\n');
        got.sort();
        QCOMPARE(got, QStringList({"a0", "a0", "a1", "b0"}));
        QCOMPARE(TrainingFolder::trainingListText({}, rng), QString());
    }

    void badFilesReadAsNoImage()
    {
        QTemporaryDir dir;
        writeBadFiles(dir.path(), "x");
        for (const QString& name : {"cut_x.jpg", "cut_x.png", "text_x.jpg", "empty_x.png", "missing.jpg"})
            QVERIFY2(PictureFile::readColour(dir.path() + "/" + name, PictureFile::Ending::Whole).empty(), qPrintable(name));

        const cv::Mat image = SyntheticProject::shapeImage("square", 40, 1);
        for (const QString& name : {"ok.jpg", "ok.png", "ok.bmp", "ok.tif"}) {
            QVERIFY(PictureFile::write(dir.path() + "/" + name, image));
            const cv::Mat back = PictureFile::readColour(dir.path() + "/" + name, PictureFile::Ending::Whole);
            QCOMPARE(back.size(), image.size());
            QCOMPARE(back.type(), CV_8UC3);
        }
        // Grey and 16-bit sources come back as 8-bit colour.
        cv::Mat grey16(30, 20, CV_16UC1, cv::Scalar(40000));
        cv::imwrite((dir.path() + "/grey16.png").toStdString(), grey16);
        QCOMPARE(PictureFile::readColour(dir.path() + "/grey16.png", PictureFile::Ending::Whole).type(), CV_8UC3);
        // A progressive JPEG is whole only after its last scan, whatever follows its end (the
        // video of a motion photo, with a start-of-scan marker in it).
        std::vector<uchar> progressive;
        QVERIFY(cv::imencode(".jpg", SyntheticProject::shapeImage("circle", 96, 2), progressive,
                             {cv::IMWRITE_JPEG_PROGRESSIVE, 1}));
        const QByteArray photo(reinterpret_cast<const char*>(progressive.data()), int(progressive.size()));
        const QByteArray video = QByteArray(50000, '\x5a') + "\xFF\xDA" + QByteArray(50000, '\x17');
        QVERIFY(!PictureFile::isCutShort(photo + video));
        for (const double part : {0.95, 0.6, 0.2})
            QVERIFY2(PictureFile::isCutShort(photo.left(int(photo.size() * part))), qPrintable(QString::number(part)));
        // Nothing half-written is left behind.
        QVERIFY(QDir(dir.path()).entryList({"*.part"}).isEmpty());
        QVERIFY(QDir(dir.path()).entryList({"*.tmp"}, QDir::Files | QDir::Hidden).isEmpty());
        QVERIFY(!PictureFile::write(dir.path() + "/no such folder/x.jpg", image));
    }

    // PNGs are encoded here in strips on all cores: any reader must get back exactly the pixels.
    void pngFilesGiveBackThePixelsExactly()
    {
        QTemporaryDir dir;
        const int threads = cv::getNumThreads();
        cv::Mat colour(608, 611, CV_8UC3), grey(1, 1, CV_8UC1, cv::Scalar(7)), alpha(200, 37, CV_8UC4);
        cv::randu(colour, 0, 256);
        cv::randu(alpha, 0, 256);
        cv::Mat flat(500, 300, CV_8UC3, cv::Scalar(10, 20, 30));
        const cv::Mat window = colour(cv::Rect(5, 100, 301, 400)); // rows not contiguous
        // A class map's kind of picture: smooth, so short runs and small values everywhere.
        cv::Mat smooth, noise(608, 608, CV_8UC3);
        cv::resize(colour(cv::Rect(0, 0, 8, 8)), smooth, noise.size(), 0, 0, cv::INTER_LANCZOS4);
        cv::randu(noise, 0, 3);
        smooth += noise;
        // Many strips of one block each, and a few strips of several blocks.
        for (int strips : {4, 1}) {
            cv::setNumThreads(strips);
            for (const cv::Mat& image : {colour, grey, alpha, flat, window, smooth}) {
                const QString path = dir.filePath("p.PNG");
                QVERIFY(PictureFile::write(path, image));
                const cv::Mat back = cv::imread(path.toStdString(), cv::IMREAD_UNCHANGED);
                QCOMPARE(back.type(), image.type());
                QCOMPARE(back.size(), image.size());
                QCOMPARE(cv::norm(back, image, cv::NORM_INF), 0.0);
            }
        }
        cv::setNumThreads(4);
        // A second decoder (Qt's) reads the same colours.
        QVERIFY(PictureFile::write(dir.filePath("c.png"), colour));
        const QImage qt(dir.filePath("c.png"));
        const cv::Vec3b last = colour.at<cv::Vec3b>(607, 610);
        QCOMPARE(qt.pixel(610, 607), qRgb(last[2], last[1], last[0]));
        cv::setNumThreads(threads);
    }

    void poolHandsBackResultsInJobOrder()
    {
        std::atomic<int> running(0);
        std::atomic<int> mostAtOnce(0);
        OrderedWorkerPool<int> pool(3, 5, [&](int index) {
            const int now = ++running;
            int seen = mostAtOnce.load();
            while (now > seen && !mostAtOnce.compare_exchange_weak(seen, now)) {
            }
            // Later jobs finish sooner, so results arrive out of order.
            std::this_thread::sleep_for(std::chrono::milliseconds((7 - index % 7) * 2));
            --running;
            return index * index;
        });
        QList<int> handled;
        runInJobOrder(
            pool, 40, 5, [] { return false; }, [] {},
            [&](int index, int result) {
                QCOMPARE(result, index * index);
                handled << index;
            });
        QCOMPARE(handled.size(), 40);
        QVERIFY(std::is_sorted(handled.begin(), handled.end()));
        QVERIFY(mostAtOnce.load() <= 3);
    }

    void stoppedPoolFinishesOnlyWhatWasSubmitted()
    {
        std::atomic<int> started(0);
        OrderedWorkerPool<int> pool(2, 4, [&](int index) {
            ++started;
            return index;
        });
        QList<int> handled;
        bool stop = false;
        runInJobOrder(
            pool, 100, 5, [&] { return stop; }, [] {},
            [&](int index, int) {
                handled << index;
                stop = stop || index == 9;
            });
        // Job 9 stopped the submitting; at most the capacity was out beyond it.
        QVERIFY2(handled.size() >= 10 && handled.size() <= 10 + 4, qPrintable(QString::number(handled.size())));
        for (int i = 0; i < handled.size(); ++i)
            QCOMPARE(handled[i], i);
        QCOMPARE(started.load(), handled.size());
    }

    // ---- real runs ----

    void unknownClassesComeFirst()
    {
        QTemporaryDir work;
        const QString project = work.path() + "/project";
        const QString gen = work.path() + "/gen folder with blanks";
        QDir().mkpath(gen);
        SyntheticProject::write(project, {"cat", "dog"}, 3, 40);
        generate(with(baseState(project, gen), {{"unknown_classes", 3}}));

        const TrainingFolderOnDisk out(gen);
        QCOMPARE(out.names, QStringList({"UNKNOWN", "UNKNOWN", "UNKNOWN", "cat", "dog"}));
        QCOMPARE(out.labels.size(), 5);
        for (int i = 0; i < 3; ++i) {
            QVERIFY(out.labels[i].startsWith("UNKNOWN-" + QString::number(i)));
            QVERIFY(kHexId.match(out.labels[i].mid(9)).hasMatch());
            // One image each, all made from the same noise file.
            QCOMPARE(out.entriesOf(i).size(), 1);
        }
        QVERIFY(kHexId.match(out.labels[3]).hasMatch());
        QCOMPARE(out.entriesOf(3).size(), 3);
        QCOMPARE(out.entriesOf(4).size(), 3);
        QCOMPARE(out.entries.size(), 9);
        QCOMPARE(imageSize(InterfacePaths::noiseImage(".jpg")), cv::Size(608, 608));

        // K is the same number everywhere it appears.
        QVERIFY(out.dataText.startsWith("classes=5\n"));
        const MD model = ModelData().models.value("VoderoVod_32");
        const ModelTemplate::Configs expected = ModelTemplate::instantiate(model, 4, 2, 5);
        QVERIFY(expected.opened);
        QCOMPARE(testutil::readAll(out.root + "/train.cfg"), expected.train);
        QCOMPARE(testutil::readAll(out.root + "/test.cfg"), expected.test);
        QVERIFY(!expected.train.contains('$'));
        QCOMPARE(testutil::readAll(out.root + "/version"), QString("0:VoderoVod_32"));

        QCOMPARE(testutil::readBytes(out.root + "/test.list"), testutil::readBytes(out.root + "/train.list"));
        QVERIFY(QDir(out.root + "/test").isEmpty());
        QVERIFY(QDir(out.root + "/backup").isEmpty());
        for (const QString& entry : out.entries) {
            QVERIFY(entry.startsWith("data_gen/train/"));
            const cv::Size size = imageSize(out.fileOf(entry));
            QVERIFY2(size == cv::Size(64, 64), qPrintable(QString("%1: %2 x %3").arg(entry).arg(size.width).arg(size.height)));
        }
        QCOMPARE(QDir(out.root + "/train").count() - 2, uint(out.entries.size()));
        QCOMPARE(progressRecord(), 100);
    }

    void heldOutCountFollowsTheShare_data()
    {
        QTest::addColumn<int>("images");
        QTest::addColumn<int>("percent");
        QTest::addColumn<int>("held");
        QTest::newRow("a fifth") << 10 << 20 << 2;
        QTest::newRow("rounded half up") << 5 << 50 << 3;
        QTest::newRow("at least one of two") << 2 << 1 << 1;
        QTest::newRow("one left to train") << 3 << 50 << 2;
        QTest::newRow("a single image trains") << 1 << 50 << 0;
        QTest::newRow("none") << 100 << 0 << 0;
    }

    void heldOutCountFollowsTheShare()
    {
        QFETCH(int, images);
        QFETCH(int, percent);
        QFETCH(int, held);
        QCOMPARE(ValidationSplit::heldOutCount(images, percent), held);
    }

    // Held-out images go to test/ once, at the generation size; neither they nor any augmented
    // copy reach train.list; garbage classes train whole; valid_percent 0 is the old folder.
    void heldOutImagesStayOutOfTraining()
    {
        QTemporaryDir work;
        const QString project = work.path() + "/project";
        SyntheticProject::write(project, {"cat", "dog"}, 10, 40, "png", 3);
        SyntheticProject::write(project, {"eel"}, 1, 40, "png", 4);
        generate(with(baseState(project, work.path()),
                      {{"valid_percent", 20}, {"use_augmen", true}, {"use_class_balancing", true},
                       {"unknown_classes", 1}, {"use_random_class", true}}));

        const TrainingFolderOnDisk out(work.path());
        QCOMPARE(out.names, QStringList({"UNKNOWN", "UNKNOWN", "cat", "dog", "eel"}));
        const QStringList held = lines(out.root + "/test.list");
        const QSet<QString> heldSet(held.begin(), held.end());
        const QSet<QString> trained(out.entries.begin(), out.entries.end());
        QVERIFY(!heldSet.intersects(trained));
        QCOMPARE(int(QDir(out.root + "/test").count()) - 2, held.size());
        const int variants = variantsPerImage();
        const QList<int> heldPerClass = {0, 0, 2, 2, 0};
        for (int c = 0; c < out.labels.size(); ++c) {
            const QStringList ofClass = held.filter(out.labels.at(c));
            QCOMPARE(ofClass.size(), heldPerClass.at(c));
            for (const QString& entry : ofClass) {
                QVERIFY(entry.startsWith("data_gen/test/"));
                QCOMPARE(imageSize(out.fileOf(entry)), cv::Size(64, 64));
                // Not even the plain copy of a held image trains.
                const cv::Mat heldImage = cv::imread(out.fileOf(entry).toStdString());
                for (const QString& trainEntry : out.entriesOf(c)) {
                    const cv::Mat image = cv::imread(out.fileOf(trainEntry).toStdString());
                    QVERIFY(image.size() != heldImage.size() || cv::norm(image, heldImage, cv::NORM_L1) > 0);
                }
            }
        }
        // The classes wrote their 8 training sources with all their copies, and balancing
        // repeated nothing from the held images.
        QCOMPARE(QDir(out.root + "/train").count() - 2, uint(1000 + 1 + 2 * 8 * (1 + variants) + 1 + variants));
        QCOMPARE(out.entriesOf(0).size(), 1000);
        QCOMPARE(progressRecord(), 100);

        generate(with(baseState(project, work.path()), {{"valid_percent", 0}}));
        QCOMPARE(testutil::readBytes(out.root + "/test.list"), testutil::readBytes(out.root + "/train.list"));
        QVERIFY(QDir(out.root + "/test").isEmpty());
    }

    void nullClassesHaveNoName()
    {
        QTemporaryDir work;
        const QString project = work.path() + "/project";
        SyntheticProject::write(project, {"NULL", "NULL_background", "zebra"}, 2, 32);
        generate(with(baseState(project, work.path()), {{"gen_png", true}, {"gen_jpg", false}}));

        const TrainingFolderOnDisk out(work.path());
        QCOMPARE(out.names, QStringList({"", "", "zebra"}));
        QVERIFY(out.labels[0].startsWith("NULL-"));
        QVERIFY(out.labels[1].startsWith("NULL-"));
        QVERIFY(kHexId.match(out.labels[1].mid(5)).hasMatch());
        QVERIFY(out.dataText.startsWith("classes=3\n"));
        for (const QString& entry : out.entries)
            QVERIFY(entry.endsWith(".png"));
    }

    // Generated classes replace project classes of their names; garbage classes are never
    // augmented; augmented copies are 608 x 608 whatever the generation size.
    void generatedClassesAndAugmentation()
    {
        QTemporaryDir work;
        const QString project = work.path() + "/project";
        SyntheticProject::write(project, {"RANDOM-", "UNKNOWN-0", "UNKNOWN-7", "cat"}, 2, 40);
        DialogRuzerizOzize dialog;
        dialog.restoreState(with(baseState(project, work.path()), {{"unknown_classes", 1},
                                                                  {"use_random_class", true},
                                                                  {"use_augmen", true},
                                                                  {"gen_size", 224}}));
        dialog.on_pushButton_gen_clicked();

        const TrainingFolderOnDisk out(work.path());
        QCOMPARE(out.names, QStringList({"UNKNOWN", "UNKNOWN", "UNKNOWN", "cat"}));
        QVERIFY(out.labels[0].startsWith("RANDOM-"));
        QVERIFY(out.labels[1].startsWith("UNKNOWN-0"));
        QVERIFY(out.labels[2].startsWith("UNKNOWN-7"));

        const QDir randomFolder(InterfacePaths::randomClassFolder(dialog.instanceId));
        QCOMPARE(randomFolder.entryList(QDir::Files).size(), 1000);
        QCOMPARE(imageSize(randomFolder.filePath("999.jpg")), cv::Size(256, 256));
        QCOMPARE(out.entriesOf(0).size(), 1000);
        QCOMPARE(out.entriesOf(1).size(), 1);
        QCOMPARE(out.entriesOf(2).size(), 2);
        const int variants = variantsPerImage();
        QCOMPARE(variants, 3);
        QCOMPARE(out.entriesOf(3).size(), 2 * (1 + variants));

        for (int garbage = 0; garbage < 3; ++garbage)
            for (const QString& entry : out.entriesOf(garbage))
                QCOMPARE(imageSize(out.fileOf(entry)), cv::Size(224, 224));
        int augmented = 0;
        for (const QString& entry : out.entriesOf(3)) {
            const cv::Size size = imageSize(out.fileOf(entry));
            QVERIFY(size == cv::Size(224, 224) || size == cv::Size(608, 608));
            augmented += size == cv::Size(608, 608);
        }
        QCOMPARE(augmented, 2 * variants);
    }

    void balancingGivesEveryClassTheSameCount()
    {
        QTemporaryDir work;
        const QString project = work.path() + "/project";
        SyntheticProject::write(project, {"a", "b"}, 1, 32);
        SyntheticProject::write(project, {"c"}, 4, 32);
        writeBadFiles(project + "/allbad", "z");
        generate(with(baseState(project, work.path()), {{"use_class_balancing", true}, {"use_augmen", true}}));

        const TrainingFolderOnDisk out(work.path());
        QCOMPARE(out.names, QStringList({"a", "allbad", "b", "c"}));
        const int target = 4 * (1 + variantsPerImage());
        QCOMPARE(out.entriesOf(0).size(), target);
        QCOMPARE(out.entriesOf(1).size(), 0); // nothing readable: takes no part
        QCOMPARE(out.entriesOf(2).size(), target);
        QCOMPARE(out.entriesOf(3).size(), target);
        // Repeats are the class's own files: a and b wrote 1 + variants images each.
        const QStringList ofA = out.entriesOf(0);
        QCOMPARE(QSet<QString>(ofA.begin(), ofA.end()).size(), 1 + variantsPerImage());
        QCOMPARE(QDir(out.root + "/train").count() - 2, uint(6 * (1 + variantsPerImage())));
    }

    // Darknet finds exactly one label in every path, and it is the label of the image's class.
    void darknetMatchesEachPathToItsOwnClass()
    {
        QTemporaryDir work;
        const QString project = work.path() + "/project";
        SyntheticProject::write(project, {"circle", "square", "triangle"}, 3, 40);
        SyntheticProject::write(project, {"NULL"}, 2, 40);
        generate(with(baseState(project, work.path()), {{"unknown_classes", 2}, {"use_augmen", true},
                                                       {"use_class_balancing", true}}));

        const TrainingFolderOnDisk out(work.path());
        const int k = out.labels.size();
        QCOMPARE(k, 6);
        QByteArray labelsPath = (out.root + "/labels.txt").toUtf8();
        char** labels = get_labels(labelsPath.data());
        QVector<int> perClass(k, 0);
        QSet<QString> filesOfClass[6];
        for (const QString& entry : out.entries) {
            QByteArray path = entry.toUtf8();
            QVector<float> truth(k, -1.0f);
            fill_truth(path.data(), labels, k, truth.data());
            int matches = 0;
            int matched = -1;
            for (int i = 0; i < k; ++i)
                if (truth[i] == 1.0f) {
                    ++matches;
                    matched = i;
                }
            QVERIFY2(matches == 1, path.constData());
            ++perClass[matched];
            filesOfClass[matched].insert(entry);
        }
        // Each class's images carry its label only: the source images of a class are recognisable
        // by their colour, so the written files of one label come from one class.
        const int perShapeClass = 3 * (1 + variantsPerImage());
        QCOMPARE(perClass, QVector<int>({perShapeClass, perShapeClass, perShapeClass, perShapeClass, perShapeClass,
                                         perShapeClass}));
        QCOMPARE(filesOfClass[0].size(), 2 * (1 + variantsPerImage())); // NULL
        QCOMPARE(filesOfClass[1].size(), 1);                            // UNKNOWN-0
        QCOMPARE(filesOfClass[3].size(), perShapeClass);                // circle
        for (const QString& entry : filesOfClass[3]) {
            const cv::Mat image = cv::imread(out.fileOf(entry).toStdString());
            const cv::Scalar mean = cv::mean(image);
            QVERIFY2(mean[2] > mean[1], qPrintable(entry)); // circles are red
        }
    }

    void regenerationStartsFromScratch()
    {
        QTemporaryDir work;
        const QString project = work.path() + "/project";
        SyntheticProject::write(project, {"a", "b"}, 2, 32);
        const QString old = work.path() + "/data_gen";
        testutil::writeBytes(old + "/backup/train.backup", "weights");
        testutil::writeBytes(old + "/train/stale_file.jpg", "x");
        testutil::writeBytes(old + "/leftover.txt", "x");
        generate(baseState(project, work.path()));

        QVERIFY(!QFileInfo::exists(old + "/backup/train.backup"));
        QVERIFY(!QFileInfo::exists(old + "/train/stale_file.jpg"));
        QVERIFY(!QFileInfo::exists(old + "/leftover.txt"));
        QVERIFY(QDir(old + "/backup").exists());
        QCOMPARE(TrainingFolderOnDisk(work.path()).entries.size(), 4);
    }

    void unreadableFilesAreSkipped()
    {
        QTemporaryDir work;
        const QString project = work.path() + "/project";
        SyntheticProject::write(project, {"good"}, 2, 32);
        writeBadFiles(project + "/good", "g");
        writeBadFiles(project + "/lost", "l");
        generate(baseState(project, work.path()));

        const TrainingFolderOnDisk out(work.path());
        QCOMPARE(out.names, QStringList({"good", "lost"}));
        QVERIFY(out.dataText.startsWith("classes=2\n"));
        QCOMPARE(out.entriesOf(0).size(), 2);
        QCOMPARE(out.entriesOf(1).size(), 0);
        QCOMPARE(out.entries.size(), 2);
    }

    void projectOfUnreadableFilesStillGivesACompleteFolder()
    {
        QTemporaryDir work;
        const QString project = work.path() + "/project";
        writeBadFiles(project + "/one", "1");
        writeBadFiles(project + "/two", "2");
        QFile::remove(InterfacePaths::trainerLog());
        DialogRuzerizOzize dialog;
        dialog.restoreState(with(baseState(project, work.path()), {{"use_augmen", true}, {"use_class_balancing", true}}));
        dialog.on_pushButton_gen_clicked();

        const TrainingFolderOnDisk out(work.path());
        QVERIFY(out.entries.isEmpty());
        QVERIFY(QFileInfo::exists(out.root + "/train.list"));
        QCOMPARE(testutil::readBytes(out.root + "/test.list"), QByteArray());
        QVERIFY(out.dataText.startsWith("classes=2\n"));
        QVERIFY(out.dataText.endsWith("top=1"));
        QCOMPARE(out.names, QStringList({"one", "two"}));
        QCOMPARE(out.labels.size(), 2);
        QVERIFY(!testutil::readAll(out.root + "/train.cfg").isEmpty());
        QVERIFY(!testutil::readAll(out.root + "/test.cfg").isEmpty());
        QCOMPARE(testutil::readAll(out.root + "/version"), QString("0:VoderoVod_32"));
        QCOMPARE(progressBar(dialog)->value(), 0);
        // No progress was made; the one record says that nothing could be read.
        QVERIFY(testutil::readAll(InterfacePaths::trainerLog()).contains("\"gen_error\":\"no picture of the project"));
        QVERIFY(dialog.generationFailed);
        QCOMPARE(QDir(out.root + "/train").count(), 2u);
    }

    void awkwardFolderNamesPassThroughUntouched()
    {
        QTemporaryDir work;
        const QString project = work.path() + "/project";
        const QString gen = work.path() + "/gen $HOME `id` \"q\" 'a'";
        QDir().mkpath(gen);
        const QStringList folders{"my cat", "say \"cheese\"", "cost$HOME", "grüße", "日本", "it's"};
        SyntheticProject::write(project, folders, 1, 32);
        generate(with(baseState(project, gen), {{"use_augmen", true}}));

        const TrainingFolderOnDisk out(gen);
        QStringList expected{"mycat", "say\"cheese\"", "cost$HOME", "grüße", "日本", "it's"};
        expected.sort();
        QCOMPARE(out.names, expected);
        QCOMPARE(out.entries.size(), folders.size() * (1 + variantsPerImage()));
        for (int i = 0; i < expected.size(); ++i)
            QCOMPARE(out.entriesOf(i).size(), 1 + variantsPerImage());
        for (const QString& entry : out.entries)
            QVERIFY2(QFileInfo::exists(out.fileOf(entry)), qPrintable(entry));
    }

    void nothingHappensWithoutProjectOrFolder()
    {
        QTemporaryDir work;
        DialogRuzerizOzize dialog;
        dialog.genPath = work.path();
        dialog.on_pushButton_gen_clicked(); // no project
        QVERIFY(!QFileInfo::exists(work.path() + "/data_gen"));

        const QString project = work.path() + "/project";
        SyntheticProject::write(project, {"a"}, 1, 32);
        dialog.loadProject(project);
        dialog.genPath.clear();
        dialog.on_pushButton_gen_clicked(); // no generation folder
        QVERIFY(!QFileInfo::exists(work.path() + "/data_gen"));
        QCOMPARE(dialog.findChild<QPushButton*>("pushButton_gen")->text(), QString("Generate"));

        // A folder that does not exist is made rather than silently replaced by another.
        dialog.generate(work.path() + "/missing");
        QVERIFY(QFileInfo::exists(work.path() + "/missing/data_gen/train.list"));
    }

    // The generate button during a run asks whether to stop; Yes ends the run after the
    // samples under way, with a consistent folder for what was written.
    void stoppingARun_data()
    {
        QTest::addColumn<int>("threads");
        QTest::addColumn<bool>("stop");
        QTest::newRow("one thread, yes") << 1 << true;
        QTest::newRow("two threads, yes") << 2 << true;
        QTest::newRow("two threads, no") << 2 << false;
    }
    void stoppingARun()
    {
        QFETCH(int, threads);
        QFETCH(bool, stop);
        QTemporaryDir work;
        const QString project = work.path() + "/project";
        const int perClass = 15;
        SyntheticProject::write(project, {"a", "b"}, perClass, 32);
        QFile::remove(InterfacePaths::trainerLog());

        DialogRuzerizOzize dialog;
        dialog.generationThreads = threads;
        dialog.restoreState(with(baseState(project, work.path()), {{"use_augmen", true}, {"use_class_balancing", true}}));
        QStringList asked;
        UserPrompt::setQuestionAnswerer([&](const QString& title, const QString& text) {
            asked << title << text;
            return stop ? QMessageBox::Yes : QMessageBox::No;
        });
        // Clicks the button once the first sample has been reported.
        QTimer clicker;
        clicker.setInterval(0);
        connect(&clicker, &QTimer::timeout, [&] {
            if (progressBar(dialog)->value() > 0) {
                clicker.stop();
                dialog.on_pushButton_gen_clicked();
            }
        });
        clicker.start();
        dialog.on_pushButton_gen_clicked();
        clicker.stop();

        QCOMPARE(asked, QStringList({"Generating...", "Do you want to stop generating ?"}));
        QVERIFY(dialog.genAugWorker == nullptr);
        QCOMPARE(dialog.findChild<QPushButton*>("pushButton_gen")->text(), QString("Generate"));
        const TrainingFolderOnDisk out(work.path());
        const int record = progressRecord();
        const QSet<QString> files(out.entries.begin(), out.entries.end());
        int samplesWritten = 0; // the variants are 608 x 608, the samples themselves 64 x 64
        for (const QString& entry : files) {
            QVERIFY(QFileInfo::exists(out.fileOf(entry)));
            samplesWritten += imageSize(out.fileOf(entry)) == cv::Size(64, 64);
        }
        // Every file written is listed (balancing adds repeats only).
        QCOMPARE(QDir(out.root + "/train").count() - 2, uint(files.size()));
        QCOMPARE(out.names, QStringList({"a", "b"}));
        QCOMPARE(testutil::readAll(out.root + "/version"), QString("0:VoderoVod_32"));
        QVERIFY(QFileInfo::exists(out.root + "/train.cfg"));
        QCOMPARE(testutil::readBytes(out.root + "/test.list"), testutil::readBytes(out.root + "/train.list"));
        if (stop) {
            QCOMPARE(progressBar(dialog)->styleSheet(), dialog.progressStyleStopped);
            QVERIFY(record < 100);
            QVERIFY(record > 0);
            // Only the samples under way when the stop came were finished.
            QVERIFY2(samplesWritten < 2 * perClass, qPrintable(QString::number(samplesWritten)));
        } else {
            QCOMPARE(progressBar(dialog)->styleSheet(), dialog.progressStyleRunning);
            QCOMPARE(record, 100);
            QCOMPARE(samplesWritten, 2 * perClass);
            QCOMPARE(out.entries.size(), 2 * perClass * (1 + variantsPerImage()));
        }
    }

private:
    static int progressRecord()
    {
        const QJsonObject record = QJsonDocument::fromJson(testutil::readBytes(InterfacePaths::trainerLog())).object();
        return record.value("gen_progress").toInt(-1);
    }
};

QTEST_MAIN(TestGeneration)
#include "test_generation.moc"
