// The classifier dialog's form, persisted state and configuration header, against the real
// classifier library and real model folders.
#include "classif_config.h"
#include "darknet_models.h"
#include "dialog_derarodizir_v2.h"
#include "dialog_list_configs.h"
#include "global_vela_lib_yolo.h"
#include "test_support.h"
#include "user_prompt.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QJsonArray>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QtTest>

namespace {

// Forgets every configuration of the shared list, so that each case starts from none.
void clearSharedConfigs()
{
    for (ClassifConfig* config : DialogListConfigs::map_classif_cfgs)
        delete config;
    DialogListConfigs::map_classif_cfgs.clear();
}

QImage pixmapImage(const QLabel* label)
{
    return label->pixmap(Qt::ReturnByValue).toImage();
}

QImage resourceImage(const QString& path)
{
    return QPixmap(path).toImage();
}

const QString kCpuIcon = ":/vela_halvard_classif_v2/model/derarodizir_cpu.png";
const QString kGpuIcon = ":/vela_halvard_classif_v2/model/classif.png";

} // namespace

class TestClassifierDialog : public QObject
{
    Q_OBJECT

    QTemporaryDir models;
    QString modelFolder;

    struct Question
    {
        QString title;
        QString text;
    };
    QList<Question> questions;

    void answerQuestionsWith(QMessageBox::StandardButton answer)
    {
        UserPrompt::setQuestionAnswerer([this, answer](const QString& title, const QString& text) {
            questions.append({title, text});
            return answer;
        });
    }

    // A configuration "name" loaded through the library from a real model folder.
    void loadConfig(const QString& name)
    {
        DialogDeraRodizir_v2 creator; // makes sure the shared list dialog exists
        QVERIFY(vela_lib_darknet_widget::dlg_classif_lst_config->addConfigPath(name, modelFolder, "CPU"));
    }

private slots:
    void initTestCase()
    {
        modelFolder = models.filePath("shapes_random");
        QVERIFY(darknetmodels::writeRandomModel(modelFolder, darknetmodels::voderoVod32Cfg(3, 1),
                                                {"circle", "square", "triangle"}));
    }

    void init()
    {
        UserPrompt::resetAnswerers();
        questions.clear();
        clearSharedConfigs();
    }

    void cleanup()
    {
        UserPrompt::resetAnswerers();
        clearSharedConfigs();
    }

    void freshDialogSavesTheDefaults()
    {
        DialogDeraRodizir_v2 dialog;
        const QJsonObject state = dialog.saveState();
        QStringList expectedKeys = {"thresh", "top", "result_drawing", "rect_thickness", "text_drawing",
                                    "font_scale", "font_thickness", "txt_offset", "show_confidence", "gm_thresh",
                                    "mask_mode", "alpha", "beta", "color_map", "upsampling", "bn", "bn_size",
                                    "gm_result_drawing", "map_classif_cfgs", "this_config_name"};
        expectedKeys.sort();
        QCOMPARE(state.keys(), expectedKeys);

        QCOMPARE(state["thresh"], QJsonValue(1));
        QCOMPARE(state["top"], QJsonValue(1.0));
        QCOMPARE(state["result_drawing"], QJsonValue(true));
        QCOMPARE(state["show_confidence"], QJsonValue(true));
        QCOMPARE(state["text_drawing"], QJsonValue(false));
        QCOMPARE(state["rect_thickness"], QJsonValue(10));
        QCOMPARE(state["font_scale"], QJsonValue(1.2));
        QCOMPARE(state["font_thickness"], QJsonValue(2));
        QCOMPARE(state["txt_offset"], QJsonValue(10));
        QCOMPARE(state["gm_thresh"], QJsonValue(150));
        QCOMPARE(state["mask_mode"], QJsonValue(true));
        QCOMPARE(state["alpha"], QJsonValue(0.5));
        QCOMPARE(state["beta"], QJsonValue(1.0));
        QCOMPARE(state["color_map"], QJsonValue(2));
        QCOMPARE(state["upsampling"], QJsonValue(false));
        QCOMPARE(state["bn"], QJsonValue(true));
        QCOMPARE(state["bn_size"], QJsonValue(3));
        QCOMPARE(state["gm_result_drawing"], QJsonValue(true));
        QCOMPARE(state["map_classif_cfgs"], QJsonValue(QJsonArray()));
        QCOMPARE(state["this_config_name"], QJsonValue(QString()));
    }

    void formHasItsWidgetsAndRanges()
    {
        DialogDeraRodizir_v2 dialog;
        QCOMPARE(dialog.size(), QSize(335, 356));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
        QCOMPARE(dialog.windowTitle(), QString("DeraRodizir"));
        QVERIFY(vela_lib_darknet_widget::dlg_classif_lst_config);

        auto* tabs = dialog.findChild<QTabWidget*>("tabWidget");
        QVERIFY(tabs);
        QCOMPARE(tabs->currentIndex(), 0);
        QCOMPARE(tabs->tabText(0), QString("Classification"));
        QCOMPARE(tabs->tabText(1), QString("Guide map"));
        QCOMPARE(dialog.findChild<QPushButton*>("pushButton_config")->text(), QString("Config"));
        QCOMPARE(dialog.findChild<QLabel*>("label_config_name")->text(), QString());
        QVERIFY(pixmapImage(dialog.findChild<QLabel*>("label_config_icon")).isNull());

        auto spin = [&](const char* name) { return dialog.findChild<QSpinBox*>(name); };
        auto dspin = [&](const char* name) { return dialog.findChild<QDoubleSpinBox*>(name); };
        struct Range { QSpinBox* box; int min; int max; };
        for (const Range& r : {Range{spin("spinBox_threshold"), 1, 100}, Range{spin("spinBox_rect_thickness"), 1, 9999},
                               Range{spin("spinBox_font_thickness"), 1, 9999},
                               Range{spin("spinBox_font_offset"), -9999, 9999}, Range{spin("spinBox_gm_thresh"), 1, 255},
                               Range{spin("spinBox_bn_size"), 1, 99999}}) {
            QVERIFY(r.box);
            QCOMPARE(r.box->minimum(), r.min);
            QCOMPARE(r.box->maximum(), r.max);
        }
        QCOMPARE(dspin("doubleSpinBox_top")->decimals(), 0);
        QCOMPARE(dspin("doubleSpinBox_top")->maximum(), 2000.0);
        QCOMPARE(dspin("spinBox_font_scale")->minimum(), 0.01);
        QCOMPARE(dspin("spinBox_font_scale")->maximum(), 99999.0);
        QCOMPARE(dspin("doubleSpinBox_alpha")->singleStep(), 0.01);
        QCOMPARE(dspin("doubleSpinBox_beta")->maximum(), 1.0);
        QVERIFY(dialog.findChild<QGroupBox*>("groupBox_result_drawing")->isCheckable());
        QVERIFY(!dialog.findChild<QGroupBox*>("groupBox_text")->isCheckable());
        QVERIFY(dialog.findChild<QGroupBox*>("groupBox_boundary")->isCheckable());
        QCOMPARE(dialog.findChild<QComboBox*>("comboBox")->count(), 0);

        auto* colourBox = dialog.findChild<QComboBox*>("comboBox_color_map");
        QVERIFY(!colourBox->hasFrame());
        QCOMPARE(colourBox->iconSize(), QSize(colourBox->width() - 20, colourBox->height()));
        QCOMPARE(dialog.color_maps.size(), 20);
        for (int i = 0; i < dialog.color_maps.size(); ++i) {
            QCOMPARE(colourBox->itemText(i), dialog.color_maps[i].first);
            QCOMPARE(dialog.color_maps[i].second, QString(":/vela_halvard_classif_v2/color_map/%1.jpg").arg(i));
            QVERIFY2(!colourBox->itemIcon(i).isNull(), qPrintable(dialog.color_maps[i].first));
        }
        QVERIFY(dialog.findChild<QLabel*>("label_color_map")->font().bold());
    }

    void stateRoundTripsThroughANewDialog()
    {
        DialogDeraRodizir_v2 first;
        QJsonObject state = first.saveState();
        state["thresh"] = 42;
        state["top"] = 3.0;
        state["result_drawing"] = false;
        state["rect_thickness"] = 4;
        state["font_scale"] = 0.75;
        state["font_thickness"] = 5;
        state["txt_offset"] = -20;
        state["show_confidence"] = false;
        state["gm_thresh"] = 90;
        state["mask_mode"] = false;
        state["alpha"] = 0.25;
        state["beta"] = 0.8;
        state["color_map"] = 19;
        state["upsampling"] = true;
        state["bn"] = false;
        state["bn_size"] = 12;
        state["gm_result_drawing"] = false;
        first.restoreState(state);

        DialogDeraRodizir_v2 second;
        second.restoreState(first.saveState());
        QCOMPARE(second.saveState(), state);
        QCOMPARE(second.findChild<QLabel*>("label_color_map")->text(), QString("TWILIGHT_SHIFTED"));
        QVERIFY(questions.isEmpty());
    }

    void missingAndOutOfRangeValuesAreClamped()
    {
        DialogDeraRodizir_v2 dialog;
        dialog.restoreState(QJsonObject());
        QJsonObject state = dialog.saveState();
        QCOMPARE(state["thresh"].toInt(), 1);
        QCOMPARE(state["gm_thresh"].toInt(), 1);
        QCOMPARE(state["bn_size"].toInt(), 1);
        QCOMPARE(state["font_scale"].toDouble(), 0.01);
        QCOMPARE(state["alpha"].toDouble(), 0.0);
        QCOMPARE(state["color_map"].toInt(), 0);
        QCOMPARE(state["mask_mode"].toBool(), false);

        for (int wrong : {20, 21, -1, 1000}) {
            QJsonObject s = state;
            s["color_map"] = wrong;
            dialog.restoreState(s);
            QCOMPARE(dialog.saveState()["color_map"].toInt(), 2);
            QCOMPARE(dialog.findChild<QLabel*>("label_color_map")->text(), QString("JET"));
        }
    }

    void loadedConfigsAreListedUnloadedOnesAreNot()
    {
        loadConfig("test");
        answerQuestionsWith(QMessageBox::No);
        DialogDeraRodizir_v2 dialog;
        QJsonObject state = dialog.saveState();
        state["map_classif_cfgs"] =
            QJsonArray{QJsonObject{{"config_name", "parked"}, {"config_path", "/nowhere"}, {"backend_name", "CPU"}}};
        dialog.restoreState(state);
        QVERIFY(DialogListConfigs::map_classif_cfgs.contains("parked"));

        const QJsonArray listed = dialog.saveState()["map_classif_cfgs"].toArray();
        QCOMPARE(listed.size(), 1);
        QCOMPARE(listed[0].toObject(),
                 (QJsonObject{{"config_name", "test"}, {"config_path", modelFolder}, {"backend_name", "CPU"}}));
    }

    void restoreAsksBeforeLoadingAndLoadsOnYes()
    {
        answerQuestionsWith(QMessageBox::Yes);
        DialogDeraRodizir_v2 dialog;
        QJsonObject state = dialog.saveState();
        state["map_classif_cfgs"] =
            QJsonArray{QJsonObject{{"config_name", "shapes"}, {"config_path", modelFolder}, {"backend_name", "CPU"}}};
        state["this_config_name"] = "shapes";
        dialog.restoreState(state);

        QCOMPARE(questions.size(), 1);
        QCOMPARE(questions[0].title, QString("Load config : DeraRodizir"));
        QCOMPARE(questions[0].text, "name : shapes backend : CPU\n" + modelFolder);
        ClassifConfig* config = DialogListConfigs::map_classif_cfgs.value("shapes");
        QVERIFY(config && config->loaded);
        QCOMPARE(dialog.findChild<QLabel*>("label_config_name")->text(), QString("shapes"));
        QCOMPARE(pixmapImage(dialog.findChild<QLabel*>("label_config_icon")), resourceImage(kCpuIcon));
    }

    void loadQuestionAnswersItselfWithItsDefault()
    {
        // Nobody answers the real box: its default button is released after the given time.
        const QMessageBox::StandardButton answer = UserPrompt::timedQuestion(
            nullptr, "Load config : DeraRodizir", "name : x", QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes, 50);
        QCOMPARE(answer, QMessageBox::Yes);

        UserPrompt::setBatchMode(true);
        QCOMPARE(UserPrompt::timedQuestion(nullptr, "t", "q", QMessageBox::Yes | QMessageBox::No, QMessageBox::No, 60000),
                 QMessageBox::No);
        UserPrompt::setBatchMode(false);
    }

    void restoreRegistersWithoutLoadingOnNo()
    {
        answerQuestionsWith(QMessageBox::No);
        DialogDeraRodizir_v2 dialog;
        QJsonObject state = dialog.saveState();
        // "backend_gpu" wins over "backend_name"; without a usable GPU "CUDA" becomes "CPU".
        state["map_classif_cfgs"] = QJsonArray{
            QJsonObject{{"config_name", "a"}, {"config_path", modelFolder}, {"backend_name", "Vulkan"}, {"backend_gpu", true}},
            QJsonObject{{"config_name", "b"}, {"config_path", "/b"}, {"backend_gpu", false}},
            QJsonObject{{"config_name", "c"}, {"config_path", "/c"}}};
        state["this_config_name"] = "a";
        dialog.restoreState(state);

        const bool gpu = GlobalVelaLibYolo::GlobalVelaLibYoloObject.is_gpu_ok();
        QCOMPARE(questions.size(), 3);
        QCOMPARE(questions[0].text, QString("name : a backend : %1\n%2").arg(gpu ? "CUDA" : "CPU", modelFolder));
        QCOMPARE(questions[1].text, QString("name : b backend : CPU\n/b"));
        QCOMPARE(questions[2].text, QString("name : c backend : CPU\n/c"));

        ClassifConfig* a = DialogListConfigs::map_classif_cfgs.value("a");
        QVERIFY(a);
        QCOMPARE(a->loaded, false);
        QCOMPARE(a->config_path, modelFolder);
        QCOMPARE(a->backend_name, QString(gpu ? "CUDA" : "CPU"));
        QCOMPARE(bool(a->gpu_classifier), gpu);
        QCOMPARE(bool(a->cpu_classifier), !gpu);
        QVERIFY(DialogListConfigs::map_classif_cfgs.value("c")->cpu_classifier);
        // An unloaded configuration is not shown in the header.
        QCOMPARE(dialog.findChild<QLabel*>("label_config_name")->text(), QString());
    }

    void restoreSkipsNamesAlreadyKnown()
    {
        loadConfig("test");
        answerQuestionsWith(QMessageBox::No);
        DialogDeraRodizir_v2 dialog;
        QJsonObject state = dialog.saveState();
        state["map_classif_cfgs"] =
            QJsonArray{QJsonObject{{"config_name", "parked"}, {"config_path", "/p"}, {"backend_name", "CPU"}}};
        dialog.restoreState(state);
        QCOMPARE(questions.size(), 1);
        ClassifConfig* parked = DialogListConfigs::map_classif_cfgs.value("parked");
        ClassifConfig* loaded = DialogListConfigs::map_classif_cfgs.value("test");

        answerQuestionsWith(QMessageBox::Yes);
        state["map_classif_cfgs"] = QJsonArray{
            QJsonObject{{"config_name", "parked"}, {"config_path", modelFolder}, {"backend_name", "CPU"}},
            QJsonObject{{"config_name", "test"}, {"config_path", "/elsewhere"}, {"backend_name", "CPU"}}};
        dialog.restoreState(state);
        QCOMPARE(questions.size(), 1);
        QCOMPARE(DialogListConfigs::map_classif_cfgs.value("parked"), parked);
        QCOMPARE(parked->loaded, false);
        QCOMPARE(DialogListConfigs::map_classif_cfgs.value("test"), loaded);
        QCOMPARE(loaded->config_path, modelFolder);
    }

    void headerFollowsTheChosenConfiguration()
    {
        loadConfig("test");
        DialogDeraRodizir_v2 dialog;
        QLabel hostName;
        QLabel hostIcon;
        dialog.host_name_label = &hostName;
        dialog.host_icon_label = &hostIcon;
        auto* name = dialog.findChild<QLabel*>("label_config_name");
        auto* icon = dialog.findChild<QLabel*>("label_config_icon");

        dialog.current_config_changed("test");
        QCOMPARE(name->text(), QString("test"));
        QCOMPARE(hostName.text(), QString("test"));
        QCOMPARE(pixmapImage(icon), resourceImage(kCpuIcon));
        QCOMPARE(pixmapImage(&hostIcon), resourceImage(kCpuIcon));

        // A name the list does not hold loaded: the name changes, the header icon is cleared.
        dialog.current_config_changed("unknown");
        QCOMPARE(name->text(), QString("unknown"));
        QVERIFY(pixmapImage(icon).isNull());
        QCOMPARE(pixmapImage(&hostIcon), resourceImage(kCpuIcon));

        dialog.current_config_changed(QString());
        QCOMPARE(name->text(), QString());
        QVERIFY(pixmapImage(icon).isNull());
        QCOMPARE(pixmapImage(&hostIcon), resourceImage(kGpuIcon));
    }

    void removalClearsOnlyTheShownConfiguration()
    {
        loadConfig("test");
        DialogDeraRodizir_v2 dialog;
        QLabel hostIcon;
        dialog.host_icon_label = &hostIcon;
        auto* name = dialog.findChild<QLabel*>("label_config_name");
        auto* icon = dialog.findChild<QLabel*>("label_config_icon");

        dialog.current_config_changed("other");
        dialog.config_removed("test");
        QCOMPARE(name->text(), QString("other"));

        dialog.current_config_changed("test");
        // The list dialog's signal reaches the panel.
        emit vela_lib_darknet_widget::dlg_classif_lst_config->config_removed("test");
        QCOMPARE(name->text(), QString());
        QVERIFY(pixmapImage(icon).isNull());
        QCOMPARE(pixmapImage(&hostIcon), resourceImage(kGpuIcon));
    }

    void clickingElsewhereClosesThePanelUnlessTheListIsOpen()
    {
        DialogDeraRodizir_v2 dialog;
        QWidget elsewhere;
        elsewhere.show();

        dialog.show();
        QApplication::setActiveWindow(&dialog);
        QVERIFY(dialog.isActiveWindow());
        QApplication::setActiveWindow(&elsewhere);
        QVERIFY(!dialog.isVisible());

        dialog.show();
        QApplication::setActiveWindow(&dialog);
        dialog.list_dialog_open = true;
        QApplication::setActiveWindow(&elsewhere);
        QVERIFY(dialog.isVisible());
        dialog.list_dialog_open = false;
        dialog.close();
    }

    void configButtonRunsTheSharedListAndFollowsItsChoice()
    {
        loadConfig("test");
        DialogDeraRodizir_v2 dialog;
        dialog.show();
        auto* button = dialog.findChild<QPushButton*>("pushButton_config");
        DialogListConfigs* list = vela_lib_darknet_widget::dlg_classif_lst_config;

        bool sawListOpen = false;
        QPoint listPosition;
        QTimer::singleShot(0, &dialog, [&] {
            sawListOpen = list->isVisible() && dialog.list_dialog_open && !button->isEnabled();
            listPosition = list->pos();
            emit list->list_widget->currentTextChanged("test");
            list->reject();
        });
        button->click();

        QVERIFY(sawListOpen);
        QCOMPARE(listPosition, button->mapToGlobal(QPoint(0, button->height())));
        QVERIFY(!dialog.list_dialog_open);
        QVERIFY(button->isEnabled());
        QCOMPARE(dialog.findChild<QLabel*>("label_config_name")->text(), QString("test"));
        // The list's choices reach the panel only while the list runs for it.
        emit list->list_widget->currentTextChanged("later");
        QCOMPARE(dialog.findChild<QLabel*>("label_config_name")->text(), QString("test"));
    }
};

QTEST_MAIN(TestClassifierDialog)
#include "test_classifier_dialog.moc"
