#include "dialog_ruzerizozize.h"
#include "ui_dialog_ruzerizozize.h"

#include "augmentation_settings.h"
#include "focused_wheel_only.h"
#include "global_vela_lib_yolo.h"
#include "interface_paths.h"
#include "json_record_log.h"
#include "model_data.h"
#include "training_folder.h"

#include <QDir>
#include <QHeaderView>
#include <QStyleOptionComboBox>

#include <algorithm>

namespace {

const char* const kProgressStyle =
    "QProgressBar { border: 1px solid grey;  border-radius: 5px; text-align: center } "
    "QProgressBar::chunk { background-color: %1;  }";

int widthOfLongestItem(const QComboBox* box)
{
    int widest = 0;
    for (int i = 0; i < box->count(); ++i)
        widest = std::max(widest, box->fontMetrics().horizontalAdvance(box->itemText(i)));
    QStyleOptionComboBox option;
    option.initFrom(box);
    return box->style()->sizeFromContents(QStyle::CT_ComboBox, &option, QSize(widest, box->fontMetrics().height()), box)
        .width();
}

} // namespace

DialogRuzerizOzize::DialogRuzerizOzize(QWidget* parent)
    : QDialog(parent),
      progressStyleRunning(QString::fromLatin1(kProgressStyle).arg("#1b8dcf")),
      progressStyleStopped(QString::fromLatin1(kProgressStyle).arg("#FF0000")),
      instanceId(TrainingFolder::randomId()),
      ui(new Ui::DialogRuzerizOzize)
{
    ui->setupUi(this);
    FocusedWheelOnly::install(this);
    ui->tabWidget->setCurrentIndex(0);
    ui->groupBox_hide->show();

    ui->treeWidget_class->setColumnWidth(1, 100);
    ui->treeWidget_class->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    ui->treeWidget_class->header()->setSectionResizeMode(1, QHeaderView::Fixed);
    ui->treeWidget_class->header()->setStretchLastSection(false);

    ui->progressBar_gen->setValue(0);

    ui->comboBox_model->addItems(ModelData().models.keys());
    // Never narrower than its longest name: labels that grow while training squeeze the settings
    // column to its minimum, and the box's own minimum was taken while it was still empty.
    ui->comboBox_model->setMinimumWidth(widthOfLongestItem(ui->comboBox_model));
    // The box is not editable: a name it does not list leaves the choice as it is.
    ui->comboBox_model->setCurrentText(QStringLiteral("darknet19"));

    trainProcess = new QProcess(this);
    connect(trainProcess, &QProcess::readyReadStandardOutput, this, &DialogRuzerizOzize::stdoutReady);
    connect(trainProcess, &QProcess::readyReadStandardError, this, &DialogRuzerizOzize::stderrReady);
    connect(trainProcess, &QProcess::stateChanged, this, &DialogRuzerizOzize::processStateChanged);
    connect(trainProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &DialogRuzerizOzize::trainerFinished);
    connect(trainProcess, &QProcess::errorOccurred, this, &DialogRuzerizOzize::trainerFailedToStart);
    connect(&stopFileTimer, &QTimer::timeout, this, &DialogRuzerizOzize::pollStopFileAfterEnd);

    // The custom weight path only means something while that choice is made.
    ui->label_custom_wg->setEnabled(ui->radioButton_continue_train_custom_weight->isChecked());
    connect(ui->radioButton_continue_train_custom_weight, &QRadioButton::toggled, ui->label_custom_wg,
            &QLabel::setEnabled);

    resetUI();

    if (!GlobalVelaLibYolo::GlobalVelaLibYoloObject.is_gpu_ok()) {
        ui->spinBox_batch_size->setValue(16);
        ui->spinBox_subdivisions->setValue(8);
    }

    connect(&tickTimer, &QTimer::timeout, this, &DialogRuzerizOzize::updateTimeElape);
    runClock.start();
}

DialogRuzerizOzize::~DialogRuzerizOzize()
{
    // The trainer writes its backup on the way out: give it that time rather than have the
    // process object kill it. Its last state change must not reach the widgets being deleted.
    if (trainProcess->state() == QProcess::Running) {
        trainProcess->terminate();
        trainProcess->waitForFinished(kStopGraceMs);
    }
    trainProcess->disconnect(this);
    delete ui;
}

QJsonObject DialogRuzerizOzize::saveState()
{
    QJsonObject state;
    state["prj_path"] = prjPath;
    state["gen_path"] = genPath;
    state["keep_aspect_ratio"] = ui->checkBox_keep_aspect_ratio->isChecked();

    // Normalised as a freshly restored editor holds them, so the stored settings always hold every key.
    state["augmen"] = AugmentationSettings::fromState(augState).toState();

    state["use_augmen"] = ui->checkBox_use_augment->isChecked();
    state["use_class_balancing"] = ui->checkBox_use_class_balancing->isChecked();
    state["use_random_class"] = ui->checkBox_use_random_class->isChecked();
    state["model"] = ui->comboBox_model->currentText();
    state["unknown_classes"] = ui->spinBox_unknown_class->value();
    state["batch"] = ui->spinBox_batch_size->value();
    state["subdivisions"] = ui->spinBox_subdivisions->value();
    state["continue_train"] = ui->groupBox_continue_train->isChecked();
    state["continue_defalut"] = ui->radioButton_continue_train_default->isChecked();
    state["continue_custom"] = ui->radioButton_continue_train_custom_weight->isChecked();
    state["custom_wg"] = customWeight;
    state["gen_jpg"] = ui->radioButton_jpg->isChecked();
    state["gen_png"] = ui->radioButton_png->isChecked();
    state["gen_size"] = ui->spinBox_gen_size->value();
    state["valid_percent"] = ui->spinBox_valid_percent->value();
    return state;
}

void DialogRuzerizOzize::restoreState(QJsonObject state)
{
    // An empty or missing path means the working folder, which exists: it clears the path.
    const QString project = state["prj_path"].toString();
    if (QDir(project).exists()) {
        prjPath = project;
        ui->label->setText(project);
    }
    const QString generation = state["gen_path"].toString();
    if (QDir(generation).exists()) {
        genPath = generation;
        ui->label_gen->setText(generation);
    }

    ui->checkBox_keep_aspect_ratio->setChecked(state["keep_aspect_ratio"].toBool());
    augState = state["augmen"].toObject();
    ui->checkBox_use_augment->setChecked(state["use_augmen"].toBool());
    ui->checkBox_use_class_balancing->setChecked(state["use_class_balancing"].toBool());
    ui->checkBox_use_random_class->setChecked(state["use_random_class"].toBool());
    ui->comboBox_model->setCurrentText(state["model"].toString());
    ui->spinBox_unknown_class->setValue(state["unknown_classes"].toInt());
    ui->spinBox_batch_size->setValue(state["batch"].toInt());
    ui->spinBox_subdivisions->setValue(state["subdivisions"].toInt());

    if (state.contains("continue_train")) {
        ui->groupBox_continue_train->setChecked(state["continue_train"].toBool());
        ui->radioButton_continue_train_default->setChecked(state["continue_defalut"].toBool());
        ui->radioButton_continue_train_custom_weight->setChecked(state["continue_custom"].toBool());
        customWeight = state["custom_wg"].toString();
        ui->label_custom_wg->setText(customWeight);
    }
    if (state.contains("gen_jpg")) {
        ui->radioButton_jpg->setChecked(state["gen_jpg"].toBool());
        ui->radioButton_png->setChecked(state["gen_png"].toBool());
        ui->spinBox_gen_size->setValue(state["gen_size"].toInt());
    }
    // Saved before validation existed: none, as then.
    ui->spinBox_valid_percent->setValue(state["valid_percent"].toInt(0));

    if (!prjPath.isEmpty() && classFiles.isEmpty())
        loadProject(prjPath);
}

void DialogRuzerizOzize::show_log(QJsonObject record)
{
    JsonRecordLog::write(InterfacePaths::trainerLog(), record);
}
