// The trainer's control window built in this process: start-up placement and the "show" button.
#include "forgewright_main_window.h"
#include "interface_paths.h"
#include "test_support.h"
#include "user_prompt.h"

#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

class TestForgewrightWindow : public QObject
{
    Q_OBJECT

    ScopedInterfaceDir interfaceDir;

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
