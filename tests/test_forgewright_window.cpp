// The trainer's control window built in this process: start-up placement and the "show" button.
#include "dialog_augmentation.h"
#include "dialog_ruzerizozize.h"
#include "forgewright_main_window.h"
#include "interface_paths.h"
#include "test_support.h"
#include "user_prompt.h"
#include "window_placement.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStyleOptionComboBox>
#include <QTabWidget>
#include <QVBoxLayout>
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

    // A dialog whose layout grows it on showing is placed at its grown size; once its frame is
    // known, the frame stays inside the available area too.
    void placementKeepsAGrowingDialogOnTheScreen()
    {
        QDialog dialog;
        auto* content = new QWidget;
        content->setMinimumSize(300, 200);
        (new QVBoxLayout(&dialog))->addWidget(content);
        dialog.resize(50, 50);
        const QRect area = QGuiApplication::screens().first()->availableGeometry();
        QCursor::setPos(area.right() - 5, area.bottom() - 5);
        if (QCursor::pos() != QPoint(area.right() - 5, area.bottom() - 5))
            QSKIP("this platform cannot move the pointer");
        WindowPlacement::nextToPointer(&dialog);
        // Placed at the size its layout gives it, not at the 50 x 50 it had.
        QVERIFY(dialog.width() >= 300 && dialog.height() >= 200);
        QVERIFY(dialog.pos().x() <= area.right() + 1 - 300 && dialog.pos().y() <= area.bottom() + 1 - 200);
        dialog.show();
        WindowPlacement::nextToPointer(&dialog);
        QVERIFY(area.contains(dialog.frameGeometry()));
    }

    // The wheel turns a spin box or slider only while it has the focus.
    void wheelTurnsOnlyFocusedValues()
    {
        DialogAugmentation editor;
        editor.show();
        QVERIFY(QTest::qWaitForWindowActive(&editor));
        auto* blur = editor.findChild<QDoubleSpinBox*>("doubleSpinBox_blur_max");
        const double before = blur->value();
        const auto turn = [blur] {
            QWheelEvent wheel(QPointF(5, 5), QPointF(blur->mapToGlobal(QPoint(5, 5))), QPoint(), QPoint(0, -120), Qt::NoButton,
                              Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(blur, &wheel);
        };
        turn();
        QCOMPARE(blur->value(), before);
        blur->setFocus();
        turn();
        QCOMPARE(blur->value(), before - blur->singleStep());
    }

    // Labels that grow while training squeeze the settings column, never the model box.
    void modelBoxFitsItsLongestName()
    {
        DialogRuzerizOzize dialog;
        auto* box = dialog.findChild<QComboBox*>("comboBox_model");
        int widest = 0;
        for (int i = 0; i < box->count(); ++i)
            widest = qMax(widest, box->fontMetrics().horizontalAdvance(box->itemText(i)));
        QStyleOptionComboBox option;
        option.initFrom(box);
        widest = box->style()->sizeFromContents(QStyle::CT_ComboBox, &option, QSize(widest, box->height()), box).width();
        dialog.findChild<QTabWidget*>("tabWidget")->setCurrentIndex(1);
        dialog.show();
        dialog.findChild<QLabel*>("label_val_acc")->setText("Validation : 100.00 %  (best 100.00 %)" + QString(40, ' ') + ".");
        dialog.findChild<QLabel*>("label_iteration")->setText("iteration : 123456789 of a long run");
        QTest::qWait(50);
        QVERIFY2(box->width() >= widest, qPrintable(QString("%1 < %2").arg(box->width()).arg(widest)));
        dialog.hide();
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
