// Construction, persisted state and the configuration shown in the header.
#include "dialog_derarodizir_v2.h"
#include "ui_dialog_derarodizir_v2.h"

#include "backend.h"
#include "classif_config.h"
#include "dialog_list_configs.h"
#include "user_prompt.h"

#include <QEvent>
#include <QJsonArray>
#include <QListWidget>
#include <QMutexLocker>
#include <QPixmap>

#include <memory>

const QString DialogDeraRodizir_v2::kTestConfigName = QStringLiteral("test");

namespace {

const char* const kGpuIcon = ":/vela_halvard_classif_v2/model/classif.png";
const char* const kVulkanIcon = ":/vela_halvard_classif_v2/model/derarodizir_vulkan.png";
const char* const kCpuIcon = ":/vela_halvard_classif_v2/model/derarodizir_cpu.png";

// Names shown for OpenCV's colour maps 0..19; 13 is OpenCV's magma map.
const char* const kColourMapNames[] = {"AUTUMN", "BONE",   "JET",     "WINTER",  "RAINBOW",
                                       "OCEAN",  "SUMMER", "SPRING",  "COOL",    "HSV",
                                       "PINK",   "HOT",    "PARULA",  "MAGNA",   "INFERNO",
                                       "PLASMA", "VIRIDIS", "CIVIDIS", "TWILIGHT", "TWILIGHT_SHIFTED"};
constexpr int kDefaultColourMap = 2;
// The restore question answers Yes by itself after this long.
constexpr int kLoadQuestionTimeoutMs = 5000;

DialogListConfigs* sharedListDialog()
{
    return vela_lib_darknet_widget::dlg_classif_lst_config;
}

ClassifConfig* loadedConfig(const QString& name)
{
    ClassifConfig* config = DialogListConfigs::map_classif_cfgs.value(name, nullptr);
    return config && config->loaded ? config : nullptr;
}

} // namespace

DialogDeraRodizir_v2::DialogDeraRodizir_v2(QWidget* parent)
    : QDialog(parent), ui(new Ui::DialogDeraRodizir_v2)
{
    ui->setupUi(this);
    setFixedSize(size());
    ui->tabWidget->setCurrentIndex(0);

    if (!sharedListDialog()) {
        vela_lib_darknet_widget::dlg_classif_lst_config = new DialogListConfigs(nullptr);
        sharedListDialog()->allow_remove_loaded = false;
        sharedListDialog()->show_backend = true;
    }
    connect(sharedListDialog(), &DialogListConfigs::config_removed, this, &DialogDeraRodizir_v2::config_removed);

    ui->label_config_name->setText(QString());
    ui->label_config_icon->setPixmap(QPixmap());

    buildColourMapBox();
}

DialogDeraRodizir_v2::~DialogDeraRodizir_v2()
{
    delete ui;
}

void DialogDeraRodizir_v2::buildColourMapBox()
{
    QComboBox* box = ui->comboBox_color_map;
    const QSize iconSize(box->width() - 20, box->height());
    box->setIconSize(iconSize);
    box->clear();
    color_maps.clear();
    for (int index = 0; index < int(std::size(kColourMapNames)); ++index) {
        color_maps.append({QString::fromLatin1(kColourMapNames[index]),
                           QStringLiteral(":/vela_halvard_classif_v2/color_map/%1.jpg").arg(index)});
        const QPixmap preview(color_maps.back().second);
        const QIcon icon = preview.isNull()
                               ? QIcon()
                               : QIcon(preview.scaled(iconSize, Qt::IgnoreAspectRatio, Qt::FastTransformation));
        box->addItem(icon, color_maps.back().first);
    }
    box->setCurrentIndex(kDefaultColourMap);
}

QJsonObject DialogDeraRodizir_v2::saveState()
{
    QJsonObject state;
    state["thresh"] = ui->spinBox_threshold->value();
    state["top"] = ui->doubleSpinBox_top->value();
    state["result_drawing"] = ui->groupBox_result_drawing->isChecked();
    state["rect_thickness"] = ui->spinBox_rect_thickness->value();
    // The text group cannot be switched off, and a group that is not checkable reads unchecked.
    state["text_drawing"] = ui->groupBox_text->isChecked();
    state["font_scale"] = ui->spinBox_font_scale->value();
    state["font_thickness"] = ui->spinBox_font_thickness->value();
    state["txt_offset"] = ui->spinBox_font_offset->value();
    state["show_confidence"] = ui->checkBox_show_percent->isChecked();

    state["gm_thresh"] = ui->spinBox_gm_thresh->value();
    state["mask_mode"] = ui->checkBox_mask_mode->isChecked();
    state["alpha"] = ui->doubleSpinBox_alpha->value();
    state["beta"] = ui->doubleSpinBox_beta->value();
    state["color_map"] = ui->comboBox_color_map->currentIndex();
    state["upsampling"] = ui->checkBox_upsampling->isChecked();
    state["bn"] = ui->groupBox_boundary->isChecked();
    state["bn_size"] = ui->spinBox_bn_size->value();
    state["gm_result_drawing"] = ui->checkBox_result_drawing->isChecked();

    QJsonArray configs;
    const auto& map = DialogListConfigs::map_classif_cfgs;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        if (it.key().isEmpty() || !it.value() || !it.value()->loaded)
            continue;
        configs.append(QJsonObject{{"config_name", it.key()},
                                   {"config_path", it.value()->config_path},
                                   {"backend_name", it.value()->backend_name}});
    }
    state["map_classif_cfgs"] = configs;
    state["this_config_name"] = ui->label_config_name->text();
    return state;
}

void DialogDeraRodizir_v2::restoreState(QJsonObject state)
{
    ui->spinBox_threshold->setValue(state["thresh"].toInt());
    ui->doubleSpinBox_top->setValue(state["top"].toDouble());
    ui->groupBox_result_drawing->setChecked(state["result_drawing"].toBool());
    ui->spinBox_rect_thickness->setValue(state["rect_thickness"].toInt());
    ui->groupBox_text->setChecked(state["text_drawing"].toBool());
    ui->spinBox_font_scale->setValue(state["font_scale"].toDouble());
    ui->spinBox_font_thickness->setValue(state["font_thickness"].toInt());
    ui->spinBox_font_offset->setValue(state["txt_offset"].toInt());
    ui->checkBox_show_percent->setChecked(state["show_confidence"].toBool());

    ui->spinBox_gm_thresh->setValue(state["gm_thresh"].toInt());
    ui->checkBox_mask_mode->setChecked(state["mask_mode"].toBool());
    ui->doubleSpinBox_alpha->setValue(state["alpha"].toDouble());
    ui->doubleSpinBox_beta->setValue(state["beta"].toDouble());
    // A number that names no colour map would leave the box without a selection, which no
    // class map can be drawn with.
    const int colourMap = state["color_map"].toInt();
    ui->comboBox_color_map->setCurrentIndex(colourMap >= 0 && colourMap < color_maps.size() ? colourMap
                                                                                            : kDefaultColourMap);
    ui->checkBox_upsampling->setChecked(state["upsampling"].toBool());
    ui->groupBox_boundary->setChecked(state["bn"].toBool());
    ui->spinBox_bn_size->setValue(state["bn_size"].toInt());
    ui->checkBox_result_drawing->setChecked(state["gm_result_drawing"].toBool());

    const QJsonArray configs = state["map_classif_cfgs"].toArray();
    for (const QJsonValue& value : configs) {
        const QJsonObject entry = value.toObject();
        const QString name = entry["config_name"].toString();
        const QString path = entry["config_path"].toString();
        QString backend = backendName(Backend::Cpu);
        if (entry.contains("backend_name"))
            backend = entry["backend_name"].toString();
        if (entry.contains("backend_gpu"))
            backend = backendName(entry["backend_gpu"].toBool() ? Backend::Cuda : Backend::Cpu);
        if (DialogListConfigs::map_classif_cfgs.contains(name))
            continue;
        if (backend == backendName(Backend::Cuda))
            backend = backendName(backendForThisMachine());

        const QMessageBox::StandardButton answer = UserPrompt::timedQuestion(
            this, QStringLiteral("Load config : DeraRodizir"),
            "name : " + name + " backend : " + backend + "\n" + path, QMessageBox::Yes | QMessageBox::No,
            QMessageBox::Yes, kLoadQuestionTimeoutMs);
        if (answer == QMessageBox::Yes)
            sharedListDialog()->addConfigPath(name, path, backend);
        else
            registerUnloadedConfig(name, path, backend);
    }

    const QString shownName = state["this_config_name"].toString();
    if (loadedConfig(shownName))
        current_config_changed(shownName);
}

void DialogDeraRodizir_v2::registerUnloadedConfig(const QString& name, const QString& path, const QString& backend)
{
    auto config = std::make_unique<ClassifConfig>();
    config->config_path = path;
    config->backend_name = backend;
    config->loaded = false;
    config->make_holder(backendNamed(backend));
    DialogListConfigs::map_classif_cfgs.insert(name, config.release());
}

// Callers hold dialog_mutex.
void DialogDeraRodizir_v2::showConfigIcon(const QString& backend)
{
    const Backend shown = backendNamed(backend);
    const char* picture = shown == Backend::Cuda ? kGpuIcon : shown == Backend::Vulkan ? kVulkanIcon : kCpuIcon;
    const QPixmap icon(QString::fromLatin1(picture));
    ui->label_config_icon->setPixmap(icon);
    if (host_icon_label)
        host_icon_label->setPixmap(icon);
}

void DialogDeraRodizir_v2::current_config_changed(QString name)
{
    QMutexLocker lock(&dialog_mutex);
    ui->label_config_name->setText(name);
    if (host_name_label)
        host_name_label->setText(name);
    ui->label_config_icon->setPixmap(QPixmap());

    if (name.isEmpty()) {
        if (host_icon_label)
            host_icon_label->setPixmap(QPixmap(QString::fromLatin1(kGpuIcon)));
        return;
    }
    if (ClassifConfig* config = loadedConfig(name))
        showConfigIcon(config->backend_name);
}

void DialogDeraRodizir_v2::config_removed(QString name)
{
    if (ui->label_config_name->text() == name)
        current_config_changed(QString());
}

void DialogDeraRodizir_v2::on_pushButton_config_clicked()
{
    DialogListConfigs* list = sharedListDialog();
    const bool wasOpen = list_dialog_open;
    list_dialog_open = true;
    ui->pushButton_config->setEnabled(false);

    if (list->isVisible())
        list->close();
    list->move(ui->pushButton_config->mapToGlobal(QPoint(0, ui->pushButton_config->height())));
    list->setSelectedConfig(ui->label_config_name->text());

    QMetaObject::Connection selection;
    if (list->list_widget)
        selection = connect(list->list_widget, &QListWidget::currentTextChanged, this,
                            &DialogDeraRodizir_v2::current_config_changed);
    list->exec();
    disconnect(selection);

    list_dialog_open = wasOpen;
    ui->pushButton_config->setEnabled(true);
}

void DialogDeraRodizir_v2::changeEvent(QEvent* event)
{
    // A pop-up panel: it goes away when the user clicks elsewhere, but stays while its own
    // configuration list is up.
    if (event->type() == QEvent::ActivationChange && !isActiveWindow() && !list_dialog_open)
        close();
    QDialog::changeEvent(event);
}
