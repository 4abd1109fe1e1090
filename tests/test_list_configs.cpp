// The shared list of classifier configurations and its dialog.
#include "classif_config.h"
#include "classifier_fixtures.h"
#include "dialog_list_configs.h"
#include "test_support.h"
#include "user_prompt.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace classifierfix;

class TestListConfigs : public QObject
{
    Q_OBJECT

    QTemporaryDir work;

    QString model(const QString& name, int classes = 3)
    {
        const QString folder = work.filePath(name);
        const QString cfg = instantiate(voderoVod32Template(), classes);
        writeModelFolder(folder, cfg, classes);
        testutil::writeBytes(folder + "/train.weights", sizedWeights(cfg, 1));
        return folder;
    }

    static QStringList listed(const DialogListConfigs& dialog)
    {
        QStringList names;
        for (int i = 0; i < dialog.list_widget->count(); ++i)
            names << dialog.list_widget->item(i)->text();
        return names;
    }

    static QString current(const DialogListConfigs& dialog)
    {
        return dialog.list_widget->currentItem() ? dialog.list_widget->currentItem()->text() : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        QCOMPARE(vela_lib_darknet_widget::dlg_classif_lst_config, static_cast<DialogListConfigs*>(nullptr));
    }

    void cleanup()
    {
        UserPrompt::resetAnswerers();
        qDeleteAll(DialogListConfigs::map_classif_cfgs);
        DialogListConfigs::map_classif_cfgs.clear();
    }

    void loadedConfigurationsAreListedByName()
    {
        DialogListConfigs dialog;
        QVERIFY(dialog.addConfigPath("beta", model("beta"), "CPU"));
        QVERIFY(dialog.addConfigPath("alpha", model("alpha"), "CPU"));
        QCOMPARE(listed(dialog), QStringList({"alpha", "beta"}));
        ClassifConfig* alpha = DialogListConfigs::map_classif_cfgs.value("alpha");
        QVERIFY(alpha && alpha->loaded);
        QCOMPARE(alpha->config_path, work.filePath("alpha"));
        QCOMPARE(alpha->class_names, classNames(3));

        // Another dialog sees the same process-wide list.
        DialogListConfigs other;
        QCOMPARE(listed(other), QStringList({"alpha", "beta"}));

        // Reloading a name keeps the object, so pointers held elsewhere stay valid.
        QVERIFY(dialog.addConfigPath("alpha", model("alpha5", 5), "CPU"));
        QCOMPARE(DialogListConfigs::map_classif_cfgs.value("alpha"), alpha);
        QCOMPARE(alpha->class_names.size(), 5);
        QCOMPARE(listed(dialog), QStringList({"alpha", "beta"}));
    }

    void onlyTheUsersChoiceIsAnnounced()
    {
        DialogListConfigs dialog;
        QVERIFY(dialog.addConfigPath("alpha", model("alpha"), "CPU"));
        QVERIFY(dialog.addConfigPath("beta", model("beta"), "CPU"));
        QSignalSpy changes(dialog.list_widget, &QListWidget::currentTextChanged);

        dialog.setSelectedConfig("beta");
        QCOMPARE(current(dialog), QString("beta"));
        dialog.setSelectedConfig("missing");
        QCOMPARE(current(dialog), QString());
        dialog.setSelectedConfig("beta");
        dialog.show(); // refreshing on show keeps the choice quietly
        QCOMPARE(current(dialog), QString("beta"));
        QCOMPARE(changes.count(), 0);

        dialog.list_widget->setCurrentRow(0);
        QCOMPARE(changes.count(), 1);
        QCOMPARE(changes.takeFirst().at(0).toString(), QString("alpha"));
    }

    void activatingAnEntryClosesTheDialog()
    {
        DialogListConfigs dialog;
        QVERIFY(dialog.addConfigPath("alpha", model("alpha"), "CPU"));
        dialog.setSelectedConfig("alpha");
        dialog.open();
        QVERIFY(dialog.isVisible());
        QTest::keyClick(dialog.list_widget, Qt::Key_Return);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    void addButtonLoadsTheChosenFolder()
    {
        DialogListConfigs dialog;
        const QString folder = model("shapes");
        QString askedCaption;
        UserPrompt::setDirectoryAnswerer([&](const QString& caption, const QString&) {
            askedCaption = caption;
            return folder;
        });
        QSignalSpy changes(dialog.list_widget, &QListWidget::currentTextChanged);
        QPushButton* add = dialog.findChild<QPushButton*>("pushButton_add");
        QVERIFY(add);
        add->click();
        QVERIFY(!askedCaption.isEmpty());
        QVERIFY(DialogListConfigs::map_classif_cfgs.value("shapes"));
        QVERIFY(DialogListConfigs::map_classif_cfgs.value("shapes")->loaded);
        QCOMPARE(current(dialog), QString("shapes"));
        QCOMPARE(changes.count(), 1);
        QCOMPARE(changes.takeFirst().at(0).toString(), QString("shapes"));

        // The same folder again gets a name of its own instead of replacing the first.
        add->click();
        QCOMPARE(listed(dialog), QStringList({"shapes", "shapes (2)"}));
    }

    void addButtonReportsAFolderItCannotLoad()
    {
        DialogListConfigs dialog;
        const QString folder = model("broken");
        QFile::remove(folder + "/names.list");
        UserPrompt::setDirectoryAnswerer([&](const QString&, const QString&) { return folder; });
        QStringList reports;
        UserPrompt::setCriticalObserver([&](const QString& title, const QString& text) { reports << title << text; });
        dialog.findChild<QPushButton*>("pushButton_add")->click();
        QCOMPARE(reports.size(), 2);
        QVERIFY(reports[1].contains(folder));
        QVERIFY(reports[1].contains("names.list"));
        QVERIFY(DialogListConfigs::map_classif_cfgs.isEmpty());

        // A cancelled choice does nothing at all.
        reports.clear();
        UserPrompt::setDirectoryAnswerer([](const QString&, const QString&) { return QString(); });
        dialog.findChild<QPushButton*>("pushButton_add")->click();
        QVERIFY(reports.isEmpty());
        QVERIFY(DialogListConfigs::map_classif_cfgs.isEmpty());
    }

    void removeButtonSparesLoadedModelsUnlessAllowed()
    {
        DialogListConfigs dialog;
        QVERIFY(dialog.addConfigPath("loaded", model("loaded"), "CPU"));
        auto* registered = new ClassifConfig;
        registered->config_path = work.filePath("elsewhere");
        registered->backend_name = "CPU";
        registered->cpu_classifier = std::make_unique<cpudarknetclassifier::CPUVelaClassifier>();
        DialogListConfigs::map_classif_cfgs.insert("registered", registered);
        QPushButton* remove = dialog.findChild<QPushButton*>("pushButton_remove");
        QVERIFY(remove);
        QSignalSpy removed(&dialog, &DialogListConfigs::config_removed);

        dialog.allow_remove_loaded = false;
        dialog.setSelectedConfig("loaded");
        QVERIFY(!remove->isEnabled());
        dialog.setSelectedConfig("registered");
        QVERIFY(remove->isEnabled());
        remove->click();
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed.takeFirst().at(0).toString(), QString("registered"));
        QCOMPARE(listed(dialog), QStringList({"loaded"}));

        // When allowed, a loaded model is announced while its lock is held, then unloaded.
        dialog.allow_remove_loaded = true;
        dialog.setSelectedConfig("loaded");
        QVERIFY(remove->isEnabled());
        ClassifConfig* config = DialogListConfigs::map_classif_cfgs.value("loaded");
        bool lockedAndStillLoaded = false;
        connect(&dialog, &DialogListConfigs::config_removed, this, [&](const QString&) {
            const bool free = config->mutex.tryLock();
            if (free)
                config->mutex.unlock();
            lockedAndStillLoaded = !free && config->loaded;
        });
        remove->click();
        QVERIFY(lockedAndStillLoaded);
        QCOMPARE(removed.count(), 1);
        QVERIFY(DialogListConfigs::map_classif_cfgs.isEmpty());
        QCOMPARE(dialog.list_widget->count(), 0);
    }

    void backendAndFolderAreShownWhenAsked()
    {
        DialogListConfigs dialog;
        QVERIFY(dialog.addConfigPath("gpu", model("gpu"), "CUDA"));
        dialog.show_backend = true;
        dialog.show();
        dialog.setSelectedConfig("gpu");
        const QList<QLabel*> labels = dialog.findChildren<QLabel*>();
        QCOMPARE(labels.size(), 1);
        QVERIFY(labels.front()->isVisible());
        QVERIFY(labels.front()->text().contains("CUDA"));
        QVERIFY(labels.front()->text().contains(work.filePath("gpu")));
        dialog.show_backend = false;
        dialog.setSelectedConfig("gpu");
        QVERIFY(!labels.front()->isVisible());
    }
};

QTEST_MAIN(TestListConfigs)
#include "test_list_configs.moc"
