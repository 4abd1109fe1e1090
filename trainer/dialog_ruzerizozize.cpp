#include "dialog_ruzerizozize.h"
#include "ui_dialog_ruzerizozize.h"

#include "augmentation_settings.h"
#include "focused_wheel_only.h"
#include "global_vela_lib_yolo.h"
#include "interface_paths.h"
#include "json_record_log.h"
#include "model_data.h"
#include "state_values.h"
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
      trainLock(InterfacePaths::trainerLock()),
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
    launchRetryTimer.setSingleShot(true);
    connect(&launchRetryTimer, &QTimer::timeout, this, &DialogRuzerizOzize::on_pushButton_train_clicked);

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
    state["epochs"] = ui->spinBox_epochs->value();
    state["patience"] = ui->spinBox_patience->value();
    return state;
}

void DialogRuzerizOzize::restoreState(QJsonObject state)
{
    // An empty or missing path means the working folder, which exists: it clears the path.
    const QString project = state["prj_path"].toString();
    requestedProject.clear();
    if (QDir(project).exists()) {
        prjPath = project;
        ui->label->setText(project);
    } else {
        requestedProject = project;
    }
    const QString generation = state["gen_path"].toString();
    requestedGenPath.clear();
    if (QDir(generation).exists()) {
        genPath = generation;
        ui->label_gen->setText(generation);
    } else {
        requestedGenPath = generation;
    }

    // A value of the wrong type keeps what the widget holds and is named in a warning; numbers
    // written as strings count as numbers.
    StateValues values(state);
    const auto restoreFlag = [&values](const char* key, QAbstractButton* button) {
        button->setChecked(values.flag(key, button->isChecked()));
    };
    const auto restoreNumber = [&values](const char* key, QSpinBox* box) {
        box->setValue(values.integer(key, box->value(), box->minimum(), box->maximum()));
    };
    restoreFlag("keep_aspect_ratio", ui->checkBox_keep_aspect_ratio);
    augState = state["augmen"].toObject();
    restoreFlag("use_augmen", ui->checkBox_use_augment);
    restoreFlag("use_class_balancing", ui->checkBox_use_class_balancing);
    restoreFlag("use_random_class", ui->checkBox_use_random_class);
    const QString model = state["model"].toString();
    if (state.contains("model") && ui->comboBox_model->findText(model) < 0)
        values.warn("model", state["model"], ui->comboBox_model->currentText(), "is not a model of the catalogue");
    ui->comboBox_model->setCurrentText(model);
    restoreNumber("unknown_classes", ui->spinBox_unknown_class);
    restoreNumber("batch", ui->spinBox_batch_size);
    restoreNumber("subdivisions", ui->spinBox_subdivisions);

    if (state.contains("continue_train")) {
        ui->groupBox_continue_train->setChecked(values.flag("continue_train", ui->groupBox_continue_train->isChecked()));
        restoreFlag("continue_defalut", ui->radioButton_continue_train_default);
        restoreFlag("continue_custom", ui->radioButton_continue_train_custom_weight);
        customWeight = state["custom_wg"].toString();
        ui->label_custom_wg->setText(customWeight);
    }
    if (state.contains("gen_jpg")) {
        restoreFlag("gen_jpg", ui->radioButton_jpg);
        restoreFlag("gen_png", ui->radioButton_png);
        restoreNumber("gen_size", ui->spinBox_gen_size);
    }
    // Saved before validation existed: none, as then.
    restoreNumber("valid_percent", ui->spinBox_valid_percent);
    // Saved before epoch budgets and patience existed: the template's schedule, no early end.
    restoreNumber("epochs", ui->spinBox_epochs);
    restoreNumber("patience", ui->spinBox_patience);
    stateWarnings = values.warnings;

    if (!prjPath.isEmpty() && classFiles.isEmpty())
        loadProject(prjPath);
}

void DialogRuzerizOzize::show_log(QJsonObject record)
{
    JsonRecordLog::write(InterfacePaths::trainerLog(), record);
}
