// Scanning a dataset project into classes, and paging through its images.
#include "dialog_ruzerizozize.h"
#include "test_support.h"
#include "user_prompt.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

namespace {

void writeImage(const QString& path, int size = 16)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QVERIFY(cv::imwrite(path.toStdString(), SyntheticProject::shapeImage("circle", size, 1)));
}

QSet<QString> folderOf(const QList<QFileInfo>& files)
{
    QSet<QString> folders;
    for (const QFileInfo& f : files)
        folders.insert(f.absolutePath());
    return folders;
}

} // namespace

class TestProjectBrowser : public QObject
{
    Q_OBJECT

    QStringList errors;

private slots:
    void init()
    {
        errors.clear();
        UserPrompt::resetAnswerers();
        UserPrompt::setCriticalObserver([this](const QString& title, const QString& text) {
            QCOMPARE(title, QString("Error"));
            errors << text;
        });
    }

    void classNamesLoseTheirBlanksAndSortCaseSensitively()
    {
        QTemporaryDir project;
        writeImage(project.path() + "/my cat/1.png");
        writeImage(project.path() + "/my cat/2.jpg");
        writeImage(project.path() + "/Zebra/1.png");
        writeImage(project.path() + "/apple/1.png");
        DialogRuzerizOzize dialog;
        dialog.loadProject(project.path());
        QVERIFY(errors.isEmpty());
        QCOMPARE(dialog.classFiles.keys(), QStringList({"Zebra", "apple", "mycat"}));
        QCOMPARE(dialog.classFiles["mycat"].size(), 2);

        auto* tree = dialog.findChild<QTreeWidget*>("treeWidget_class");
        QCOMPARE(tree->topLevelItemCount(), 3);
        QCOMPARE(tree->topLevelItem(2)->text(0), QString("mycat"));
        QCOMPARE(tree->topLevelItem(2)->text(1), QString("2"));
        QCOMPARE(dialog.prjPath, project.path());
        QCOMPARE(dialog.findChild<QLabel*>("label")->text(), project.path());
    }

    void sameNamedFoldersAtTwoDepthsBecomeOneClass()
    {
        QTemporaryDir project;
        writeImage(project.path() + "/b/1.png");
        writeImage(project.path() + "/x/b/1.png");
        writeImage(project.path() + "/x/b/2.png");
        DialogRuzerizOzize dialog;
        dialog.loadProject(project.path());
        QCOMPARE(dialog.classFiles.keys(), QStringList({"b"}));
        // Exactly one of the two folders survives, whole.
        const QSet<QString> folders = folderOf(dialog.classFiles["b"]);
        QCOMPARE(folders.size(), 1);
        const int expected = folders.values().first().endsWith("/x/b") ? 2 : 1;
        QCOMPARE(dialog.classFiles["b"].size(), expected);
    }

    void foldersHoldingOnlyFoldersAreNoClass()
    {
        QTemporaryDir project;
        writeImage(project.path() + "/animals/cat/1.png");
        writeImage(project.path() + "/animals/dog/1.png");
        DialogRuzerizOzize dialog;
        dialog.loadProject(project.path());
        QCOMPARE(dialog.classFiles.keys(), QStringList({"cat", "dog"}));
    }

    void extensionsAreCaseSensitive()
    {
        QTemporaryDir project;
        writeImage(project.path() + "/c/1.png");
        writeImage(project.path() + "/c/2.JPG");
        writeImage(project.path() + "/c/3.jpeg");
        writeImage(project.path() + "/c/4.TIF");
        writeImage(project.path() + "/c/5.Jpg");
        testutil::writeBytes(project.path() + "/c/6.gif", "GIF89a");
        testutil::writeBytes(project.path() + "/only/7.Png", "x");
        DialogRuzerizOzize dialog;
        dialog.loadProject(project.path());
        QCOMPARE(dialog.classFiles.keys(), QStringList({"c"}));
        QStringList names;
        for (const QFileInfo& f : dialog.classFiles["c"])
            names << f.fileName();
        names.sort();
        QCOMPARE(names, QStringList({"1.png", "2.JPG", "3.jpeg", "4.TIF"}));
    }

    void projectWithoutClassFoldersIsAnErrorAndChangesNothing()
    {
        QTemporaryDir good;
        writeImage(good.path() + "/a/1.png");
        QTemporaryDir flat;
        writeImage(flat.path() + "/1.png");
        DialogRuzerizOzize dialog;
        dialog.loadProject(good.path());
        dialog.loadProject(flat.path());
        QCOMPARE(errors, QStringList({"Can not open this project folder"}));
        QCOMPARE(dialog.prjPath, good.path());
        QCOMPARE(dialog.classFiles.keys(), QStringList({"a"}));

        dialog.loadProject(good.path() + "/does-not-exist");
        QCOMPARE(errors.size(), 1);
        QCOMPARE(dialog.prjPath, good.path());
    }

    void firstClassIsShownAndNavigationStaysInRange()
    {
        QTemporaryDir project;
        for (int i = 0; i < 3; ++i)
            writeImage(project.path() + QString("/a/%1.png").arg(i));
        writeImage(project.path() + "/b/only.png");
        DialogRuzerizOzize dialog;
        dialog.loadProject(project.path());
        auto* prev = dialog.findChild<QPushButton*>("pushButton_prev");
        auto* next = dialog.findChild<QPushButton*>("pushButton_next");
        auto* count = dialog.findChild<QLabel*>("label_pic_count");
        QCOMPARE(dialog.currClass, QString("a"));
        QCOMPARE(count->text(), QString("1/3"));
        QVERIFY(!prev->isEnabled());
        QVERIFY(next->isEnabled());
        QVERIFY(!dialog.currImg.empty());
        QCOMPARE(dialog.findChild<QLabel*>("label_pic_name")->text(), dialog.classFiles["a"][0].fileName());

        dialog.on_pushButton_prev_clicked();
        QCOMPARE(dialog.currIndex["a"], 0);
        dialog.on_pushButton_next_clicked();
        dialog.on_pushButton_next_clicked();
        QCOMPARE(count->text(), QString("3/3"));
        QVERIFY(prev->isEnabled());
        QVERIFY(!next->isEnabled());
        dialog.on_pushButton_next_clicked();
        QCOMPARE(dialog.currIndex["a"], 2);

        auto* tree = dialog.findChild<QTreeWidget*>("treeWidget_class");
        dialog.on_treeWidget_class_itemClicked(tree->topLevelItem(1), 0);
        QCOMPARE(count->text(), QString("1/1"));
        QVERIFY(!prev->isEnabled());
        QVERIFY(!next->isEnabled());
        // Each class remembers its own position.
        dialog.on_treeWidget_class_itemClicked(tree->topLevelItem(0), 0);
        QCOMPARE(count->text(), QString("3/3"));
        QVERIFY(errors.isEmpty());
    }

    void vanishedAndUnreadableImagesKeepThePreviousOne()
    {
        QTemporaryDir project;
        writeImage(project.path() + "/a/0.png");
        writeImage(project.path() + "/a/1.png");
        writeImage(project.path() + "/a/2.png");
        DialogRuzerizOzize dialog;
        dialog.loadProject(project.path());
        // Listing order is the file system's: find the paths by index.
        const QString second = dialog.classFiles["a"][1].absoluteFilePath();
        const QString third = dialog.classFiles["a"][2].absoluteFilePath();
        QFile::remove(second);
        testutil::writeBytes(third, "not an image at all");
        const QString shownName = dialog.findChild<QLabel*>("label_pic_name")->text();

        dialog.on_pushButton_next_clicked();
        QCOMPARE(errors, QStringList({"The following file does not exists. Plese click Reload\n" + second}));
        QCOMPARE(dialog.currIndex["a"], 1);
        QCOMPARE(dialog.findChild<QLabel*>("label_pic_name")->text(), shownName);
        QVERIFY(!dialog.currImg.empty());

        dialog.on_pushButton_next_clicked();
        QCOMPARE(errors.last(), "Can not load the following file. Plese click Refresh\n" + third);
        QCOMPARE(dialog.findChild<QLabel*>("label_pic_count")->text(), QString("1/3"));
    }

    void togglingAspectRatioWithoutProjectDoesNothing()
    {
        DialogRuzerizOzize dialog;
        dialog.findChild<QCheckBox*>("checkBox_keep_aspect_ratio")->setChecked(false);
        QVERIFY(errors.isEmpty());
        QVERIFY(dialog.currImg.empty());
        QCOMPARE(dialog.findChild<QLabel*>("label_img")->pixmap(Qt::ReturnByValue).size(), QSize(120, 120));
    }

    void augmentationButtonEditsTheSettingsWhicheverWayTheEditorCloses()
    {
        QTemporaryDir project;
        writeImage(project.path() + "/a/0.png", 64);
        DialogRuzerizOzize dialog;
        dialog.loadProject(project.path());
        dialog.currImg.release(); // the editor loads the shown class's image itself

        QString title;
        bool hadImage = false;
        QTimer::singleShot(0, [&] {
            QWidget* editor = QApplication::activeModalWidget();
            QVERIFY(editor);
            title = editor->windowTitle();
            editor->findChild<QGroupBox*>("groupBox_flip_horizontal")->setChecked(true);
            hadImage = !dialog.currImg.empty();
            editor->close(); // the window's close button, not OK
        });
        dialog.findChild<QPushButton*>("pushButton_augmen")->click();
        QCOMPARE(title, QString("RuzerizOzize : Augmentation"));
        QVERIFY(hadImage);
        QCOMPARE(dialog.augState["is_fh"].toBool(), true);
        QCOMPARE(dialog.augState.size(), 22);
    }

    void augmentationButtonWithoutProjectDoesNothing()
    {
        DialogRuzerizOzize dialog;
        dialog.findChild<QPushButton*>("pushButton_augmen")->click();
        QVERIFY(dialog.augState.isEmpty());
        QVERIFY(!QApplication::activeModalWidget());
    }

    void rescanReplacesTheWholeBrowserState()
    {
        QTemporaryDir first;
        writeImage(first.path() + "/a/0.png");
        writeImage(first.path() + "/a/1.png");
        QTemporaryDir second;
        writeImage(second.path() + "/z/0.png");
        DialogRuzerizOzize dialog;
        dialog.loadProject(first.path());
        dialog.on_pushButton_next_clicked();
        dialog.loadProject(second.path());
        QCOMPARE(dialog.currIndex.keys(), QStringList({"z"}));
        QCOMPARE(dialog.findChild<QTreeWidget*>("treeWidget_class")->topLevelItemCount(), 1);
        QCOMPARE(dialog.findChild<QLabel*>("label_pic_count")->text(), QString("1/1"));
    }
};

QTEST_MAIN(TestProjectBrowser)
#include "test_project_browser.moc"
