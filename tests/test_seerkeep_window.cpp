// The server's control window in this process: start-up, its fields and buttons, the placing
// of the classifier panel.
#include "dialog_derarodizir_v2.h"
#include "seerkeep_main_window.h"
#include "test_support.h"

#include <QCursor>
#include <QJsonDocument>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QTimer>
#include <QtTest>

class TestSeerkeepWindow : public QObject
{
    Q_OBJECT

    static QSet<DialogDeraRodizir_v2*> panels()
    {
        QSet<DialogDeraRodizir_v2*> found;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<DialogDeraRodizir_v2*>(widget))
                found.insert(dialog);
        return found;
    }

    // Every window makes its own panel and never deletes it: the one that is not in `before`.
    static DialogDeraRodizir_v2* newPanel(const QSet<DialogDeraRodizir_v2*>& before)
    {
        const QSet<DialogDeraRodizir_v2*> made = panels() - before;
        return made.size() == 1 ? *made.begin() : nullptr;
    }

private slots:
    void startUpPreparesTheInterfaceFolder()
    {
        ScopedInterfaceDir dir;
        testutil::writeBytes(dir.file("derarodizir_test.cmd"), "exit\n");
        const auto before = panels();
        seerkeep::seerkeep_main_window window(0, nullptr);

        QCOMPARE(window.windowTitle(), QString("seerkeep"));
        QCOMPARE(window.size(), QSize(334, 166));
        QVERIFY(!window.windowIcon().isNull());
        const QRect desktop = QGuiApplication::primaryScreen()->geometry();
        QCOMPARE(window.pos(), QPoint(desktop.width() / 2 - window.width() / 2, desktop.height() / 2 - window.height() / 2));

        auto* model = window.findChild<QLineEdit*>("lineEdit_model_path");
        auto* image = window.findChild<QLineEdit*>("lineEdit_img_path");
        QCOMPARE(model->text(), dir.file("derarodizir_model_test"));
        QCOMPARE(image->text(), dir.file("derarodizir_img_test.png"));
        QVERIFY(!model->isReadOnly() && !image->isReadOnly());
        QCOMPARE(window.findChild<QPushButton*>("pushButton")->focusPolicy(), Qt::NoFocus);

        QVERIFY(QFileInfo(dir.file("derarodizir_model_test")).isDir());
        QVERIFY(!QFileInfo::exists(dir.file("derarodizir_test.cmd")));
        QVERIFY(!QFileInfo::exists(dir.file("derarodizir.run")));

        auto* timer = window.findChild<QTimer*>();
        QVERIFY(timer && timer->isActive());
        QCOMPARE(timer->interval(), 500);

        DialogDeraRodizir_v2* dialog = newPanel(before);
        QVERIFY(dialog);
        QVERIFY(!dialog->isVisible());
        QVERIFY(!dialog->parent());
        QCOMPARE(dialog->windowModality(), Qt::WindowModal);
        QCOMPARE(dialog->windowFlags() & Qt::WindowCloseButtonHint, Qt::WindowCloseButtonHint);
    }

    void buttonsUseTheFields()
    {
        ScopedInterfaceDir dir;
        seerkeep::seerkeep_main_window window(0, nullptr);
        window.findChild<QLineEdit*>("lineEdit_model_path")->setText("/no/such model");
        window.findChild<QPushButton*>("pushButton_update_model")->click();
        QJsonObject record = QJsonDocument::fromJson(testutil::readBytes(dir.file("derarodizir.log"))).object();
        QCOMPARE(record["msg"].toString(), QString("not found : /no/such model/train.weights"));

        window.findChild<QPushButton*>("pushButton_2")->click();
        record = QJsonDocument::fromJson(testutil::readBytes(dir.file("derarodizir.log"))).object();
        QCOMPARE(record["state"].toString(), QString("test_error"));
    }

    void showPlacesThePanelAtThePointerInsideTheScreen()
    {
        ScopedInterfaceDir dir;
        const auto before = panels();
        seerkeep::seerkeep_main_window window(0, nullptr);
        DialogDeraRodizir_v2* dialog = newPanel(before);
        QVERIFY(dialog);
        const QSize screen = QGuiApplication::screens().first()->size();

        QCursor::setPos(20, 30);
        if (QCursor::pos() != QPoint(20, 30))
            QSKIP("this platform does not move the pointer");
        window.findChild<QPushButton*>("pushButton")->click();
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->pos(), QPoint(20, 30));

        // Near the bottom-right corner the panel, its frame included once known, is pushed back
        // inside the screen.
        QCursor::setPos(screen.width() - 5, screen.height() - 5);
        window.findChild<QPushButton*>("pushButton")->click();
        const QSize frame = dialog->frameGeometry().size();
        QCOMPARE(dialog->pos(), QPoint(screen.width() - frame.width(), screen.height() - frame.height()));
        dialog->close();
    }
};

QTEST_MAIN(TestSeerkeepWindow)
#include "test_seerkeep_window.moc"
