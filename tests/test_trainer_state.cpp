// The trainer dialog's persisted settings: defaults, restore rules and the round trip.
#include "dialog_augmentation.h"
#include "dialog_ruzerizozize.h"
#include "global_vela_lib_yolo.h"
#include "test_support.h"
#include "user_prompt.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QJsonArray>
#include <QLabel>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QtTest>

class TestTrainerState : public QObject
{
    Q_OBJECT

private slots:
    void init() { UserPrompt::resetAnswerers(); }

    void newDialogSavesTheDefaults()
    {
        DialogRuzerizOzize dialog;
        const QJsonObject state = dialog.saveState();
        const QStringList keys = {"prj_path", "gen_path", "keep_aspect_ratio", "augmen", "use_augmen",
                                  "use_class_balancing", "use_random_class", "model", "unknown_classes", "batch",
                                  "subdivisions", "continue_train", "continue_defalut", "continue_custom",
                                  "custom_wg", "gen_jpg", "gen_png", "gen_size", "valid_percent", "epochs",
                                  "patience"};
        QStringList expected = keys;
        expected.sort();
        QCOMPARE(state.keys(), expected);

        QCOMPARE(state["prj_path"].toString(), QString());
        QCOMPARE(state["gen_path"].toString(), QString());
        QCOMPARE(state["keep_aspect_ratio"].toBool(), true);
        QCOMPARE(state["use_augmen"].toBool(), true);
        QCOMPARE(state["use_class_balancing"].toBool(), true);
        QCOMPARE(state["use_random_class"].toBool(), false);
        QCOMPARE(state["unknown_classes"].toInt(), 0);
        const bool gpu = GlobalVelaLibYolo::GlobalVelaLibYoloObject.is_gpu_ok();
        QCOMPARE(state["batch"].toInt(), gpu ? 64 : 16);
        QCOMPARE(state["subdivisions"].toInt(), 8);
        QCOMPARE(state["continue_train"].toBool(), true);
        QCOMPARE(state["continue_defalut"].toBool(), true);
        QCOMPARE(state["continue_custom"].toBool(), false);
        QCOMPARE(state["custom_wg"].toString(), QString());
        QCOMPARE(state["gen_jpg"].toBool(), true);
        QCOMPARE(state["gen_png"].toBool(), false);
        QCOMPARE(state["gen_size"].toInt(), 608);
        QCOMPARE(state["valid_percent"].toInt(), 0);
        QCOMPARE(state["epochs"].toInt(), 0);
        QCOMPARE(state["patience"].toInt(), 0);

        // The augmentation settings are stored whole, with the editor's defaults.
        DialogAugmentation editor;
        QCOMPARE(state["augmen"].toObject(), editor.saveState());
    }

    void constructionLooksAsExpected()
    {
        DialogRuzerizOzize dialog;
        QCOMPARE(dialog.windowTitle(), QString("RuzerizOzize"));
        QCOMPARE(dialog.findChild<QTabWidget*>("tabWidget")->currentIndex(), 0);
        QCOMPARE(dialog.instanceId.size(), 32);
        QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(dialog.instanceId).hasMatch());
        QVERIFY(DialogRuzerizOzize().instanceId != dialog.instanceId);
        QCOMPARE(dialog.avgLoss, 999.0);
        QCOMPARE(dialog.iteration, qint64(0));
        QVERIFY(!dialog.exitOnStop);
        QVERIFY(!dialog.findChild<QLabel*>("label_custom_wg")->isEnabled());
        QCOMPARE(dialog.findChild<QLabel*>("label_model_name")->text(), QString());
    }

    void restoringAnEmptyObjectClearsPathsChecksAndSpinBoxes()
    {
        DialogRuzerizOzize dialog;
        auto* model = dialog.findChild<QComboBox*>("comboBox_model");
        const QString modelBefore = model->currentText();
        dialog.findChild<QRadioButton*>("radioButton_png")->setChecked(true);
        dialog.findChild<QGroupBox*>("groupBox_continue_train")->setChecked(false);
        dialog.genPath = "/somewhere";
        dialog.augState = QJsonObject{{"is_rotate", false}};

        dialog.restoreState(QJsonObject());

        QCOMPARE(dialog.prjPath, QString());
        QCOMPARE(dialog.genPath, QString());
        QVERIFY(!dialog.findChild<QCheckBox*>("checkBox_keep_aspect_ratio")->isChecked());
        QVERIFY(!dialog.findChild<QCheckBox*>("checkBox_use_augment")->isChecked());
        QVERIFY(!dialog.findChild<QCheckBox*>("checkBox_use_class_balancing")->isChecked());
        QCOMPARE(dialog.findChild<QSpinBox*>("spinBox_batch_size")->value(), 1);
        QCOMPARE(dialog.findChild<QSpinBox*>("spinBox_subdivisions")->value(), 1);
        QCOMPARE(dialog.findChild<QSpinBox*>("spinBox_unknown_class")->value(), 0);
        QCOMPARE(model->currentText(), modelBefore);
        QVERIFY(dialog.augState.isEmpty());
        // Without "continue_train" and "gen_jpg" those groups keep what they had.
        QVERIFY(!dialog.findChild<QGroupBox*>("groupBox_continue_train")->isChecked());
        QVERIFY(dialog.findChild<QRadioButton*>("radioButton_png")->isChecked());
    }

    void restoreIgnoresFoldersThatDoNotExist()
    {
        QTemporaryDir gen;
        DialogRuzerizOzize dialog;
        dialog.restoreState(QJsonObject{{"prj_path", gen.path() + "/missing"}, {"gen_path", gen.path()}});
        QCOMPARE(dialog.prjPath, QString());
        QCOMPARE(dialog.genPath, gen.path());
        QCOMPARE(dialog.findChild<QLabel*>("label_gen")->text(), gen.path());
    }

    void restoreLoadsTheSavedProject()
    {
        QTemporaryDir project;
        SyntheticProject::write(project.path(), {"circle", "square"}, 3, 32);
        DialogRuzerizOzize dialog;
        dialog.restoreState(QJsonObject{{"prj_path", project.path()}});
        QCOMPARE(dialog.classFiles.keys(), QStringList({"circle", "square"}));
        QCOMPARE(dialog.findChild<QLabel*>("label")->text(), project.path());
    }

    void saveRestoreSaveGivesTheSameObject()
    {
        QTemporaryDir gen;
        QTemporaryDir project;
        SyntheticProject::write(project.path(), {"a", "b"}, 2, 32);

        DialogRuzerizOzize first;
        QJsonObject changed = first.saveState();
        changed["prj_path"] = project.path();
        changed["gen_path"] = gen.path();
        changed["keep_aspect_ratio"] = false;
        changed["use_random_class"] = true;
        changed["unknown_classes"] = 3;
        changed["batch"] = 32;
        changed["subdivisions"] = 4;
        changed["continue_train"] = false;
        changed["continue_defalut"] = false;
        changed["continue_custom"] = true;
        changed["custom_wg"] = "/weights/with blank $and`quotes\".weights";
        changed["gen_jpg"] = false;
        changed["gen_png"] = true;
        changed["gen_size"] = 224;
        changed["valid_percent"] = 20;
        changed["epochs"] = 30;
        changed["patience"] = 4;
        QJsonObject aug = changed["augmen"].toObject();
        aug["is_fh"] = true;
        changed["augmen"] = aug;
        first.restoreState(changed);
        const QJsonObject saved = first.saveState();

        DialogRuzerizOzize second;
        second.restoreState(saved);
        QCOMPARE(second.saveState(), saved);
        QCOMPARE(saved["custom_wg"].toString(), changed["custom_wg"].toString());
        QCOMPARE(saved["unknown_classes"].toInt(), 3);
        QCOMPARE(saved["gen_png"].toBool(), true);
        QCOMPARE(saved["valid_percent"].toInt(), 20);
        QCOMPARE(saved["epochs"].toInt(), 30);
        QCOMPARE(saved["patience"].toInt(), 4);
        QCOMPARE(saved["augmen"].toObject()["is_fh"].toBool(), true);
    }

    void customWeightLabelFollowsItsChoice()
    {
        DialogRuzerizOzize dialog;
        dialog.restoreState(QJsonObject{{"continue_train", true}, {"continue_defalut", false},
                                        {"continue_custom", true}, {"custom_wg", "/w.weights"}});
        QVERIFY(dialog.findChild<QLabel*>("label_custom_wg")->isEnabled());
        QCOMPARE(dialog.findChild<QLabel*>("label_custom_wg")->text(), QString("/w.weights"));
        QCOMPARE(dialog.customWeight, QString("/w.weights"));
    }
};

QTEST_MAIN(TestTrainerState)
#include "test_trainer_state.moc"
