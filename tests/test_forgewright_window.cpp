// The trainer's control window built in this process: start-up placement and the "show" button.
#include "dialog_ruzerizozize.h"
#include "forgewright_main_window.h"
#include "interface_paths.h"
#include "test_support.h"
#include "user_prompt.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QtTest>

class TestForgewrightWindow : public QObject
{
    Q_OBJECT

    ScopedInterfaceDir interfaceDir;

    QJsonObject stateFile() const
    {
        return QJsonDocument::fromJson(testutil::readBytes(interfaceDir.file("ruzerizozize.json"))).object();
    }

    // The window never deletes its trainer dialog, so earlier windows' dialogs are still here.
    static QSet<QDialog*> trainerDialogs()
    {
        QSet<QDialog*> dialogs;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == "DialogRuzerizOzize")
                dialogs.insert(qobject_cast<QDialog*>(widget));
        }
        return dialogs;
    }

private slots:
    void init()
    {
        UserPrompt::resetAnswerers();
        UserPrompt::setCriticalObserver([](const QString&, const QString&) {});
    }

    void startUpCentresAndShowsThePaths()
    {
        char name[] = "forgewright";
        char* argv[] = {name, nullptr};
        forgewright::forgewright_main_window window(1, argv);
        QCOMPARE(window.windowTitle(), QString("forgewright"));
        QCOMPARE(window.size(), QSize(421, 202));
        QVERIFY(!window.windowIcon().isNull());
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QCOMPARE(window.pos(), QPoint(screen.width() / 2 - 421 / 2, screen.height() / 2 - 202 / 2));
        QCOMPARE(window.findChild<QLineEdit*>("lineEdit_gen_dir")->text(), InterfacePaths::defaultGenFolder());
        QCOMPARE(window.findChild<QLineEdit*>("lineEdit_img_dir")->text(),
                 QString("/home/vela/Desktop/RuzerizOzize/dataset"));
        QVERIFY(!window.exitAfterGen);
    }

    // Settings chosen by hand survive the window; a batch run leaves the file as it was.
    void chosenSettingsAreKeptForTheNextStart()
    {
        QTemporaryDir work;
        const QString project = work.filePath("my project"), genFolder = work.filePath("gen");
        SyntheticProject::write(project, {"circle", "square"}, 4, 32);
        QDir().mkpath(genFolder);
        UserPrompt::setDirectoryAnswerer([&](const QString& caption, const QString&) {
            return caption.contains("Project") ? project : genFolder;
        });
        char name[] = "forgewright";
        char* argv[] = {name, nullptr};
        {
            const QSet<QDialog*> earlier = trainerDialogs();
            forgewright::forgewright_main_window window(1, argv);
            QDialog* dialog = *(trainerDialogs() - earlier).begin();
            dialog->findChild<QPushButton*>("pushbt_open_dir")->click();
            dialog->findChild<QPushButton*>("pushButton_browse")->click();
            QCOMPARE(window.findChild<QLineEdit*>("lineEdit_img_dir")->text(), project);
            QCOMPARE(window.findChild<QLineEdit*>("lineEdit_gen_dir")->text(), genFolder);
            dialog->findChild<QComboBox*>("comboBox_model")->setCurrentText("VoderoVod_32");
            dialog->findChild<QSpinBox*>("spinBox_gen_size")->setValue(64);
            dialog->findChild<QSpinBox*>("spinBox_valid_percent")->setValue(20);
            dialog->findChild<QCheckBox*>("checkBox_use_augment")->setChecked(false);
            dialog->findChild<QPushButton*>("pushButton_gen")->click();
            QVERIFY(QFile::exists(genFolder + "/data_gen/test.list"));
            QCOMPARE(stateFile()["model"].toString(), QString("VoderoVod_32"));
            dialog->findChild<QSpinBox*>("spinBox_gen_size")->setValue(96);
            window.close();
        }
        const QByteArray saved = testutil::readBytes(interfaceDir.file("ruzerizozize.json"));
        QCOMPARE(stateFile()["gen_size"].toInt(), 96);

        char gen[] = "gen";
        char* batchArgv[] = {name, gen, nullptr};
        forgewright::forgewright_main_window batch(2, batchArgv);
        batch.close();
        QCOMPARE(testutil::readBytes(interfaceDir.file("ruzerizozize.json")), saved);

        const QSet<QDialog*> earlier = trainerDialogs();
        forgewright::forgewright_main_window window(1, argv);
        auto* dialog = qobject_cast<DialogRuzerizOzize*>(*(trainerDialogs() - earlier).begin());
        const QJsonObject restored = dialog->saveState();
        QCOMPARE(restored["model"].toString(), QString("VoderoVod_32"));
        QCOMPARE(restored["gen_size"].toInt(), 96);
        QCOMPARE(restored["valid_percent"].toInt(), 20);
        QCOMPARE(restored["prj_path"].toString(), project);
        QCOMPARE(dialog->classFiles.keys(), QStringList({"circle", "square"}));
        QCOMPARE(window.findChild<QLineEdit*>("lineEdit_img_dir")->text(), project);
    }

    void showPlacesTheDialogInsideTheFirstScreen()
    {
        const QSet<QDialog*> earlier = trainerDialogs();
        char name[] = "forgewright";
        char* argv[] = {name, nullptr};
        forgewright::forgewright_main_window window(1, argv);
        const QSet<QDialog*> own = trainerDialogs() - earlier;
        QCOMPARE(own.size(), 1);
        QDialog* dialog = *own.begin();
        const QSize screen = QGuiApplication::screens().first()->size();

        QCursor::setPos(screen.width() - 5, screen.height() - 5);
        if (QCursor::pos() != QPoint(screen.width() - 5, screen.height() - 5))
            QSKIP("this platform cannot move the pointer");
        window.findChild<QPushButton*>("pushButton")->click();
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->windowModality(), Qt::WindowModal);
        QCOMPARE(dialog->pos(), QPoint(screen.width() - dialog->width(), screen.height() - dialog->height()));

        QCursor::setPos(10, 20);
        window.findChild<QPushButton*>("pushButton")->click();
        QCOMPARE(dialog->pos(), QPoint(10, 20));
        dialog->hide();
    }
};

QTEST_MAIN(TestForgewrightWindow)
#include "test_forgewright_window.moc"
