#include "dialog_list_configs.h"

#include "backend.h"
#include "classif_config.h"
#include "user_prompt.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMutexLocker>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <memory>

QMap<QString, ClassifConfig*> DialogListConfigs::map_classif_cfgs;

namespace vela_lib_darknet_widget {
DialogListConfigs* dlg_classif_lst_config = nullptr;
} // namespace vela_lib_darknet_widget

DialogListConfigs::DialogListConfigs(QWidget* parent) : QDialog(parent)
{
    setWindowTitle("Classifier configurations");
    list_widget = new QListWidget(this);
    list_widget->setObjectName("listWidget_configs");
    info_label = new QLabel(this);
    info_label->setWordWrap(true);
    add_button = new QPushButton("Add model folder...", this);
    add_button->setObjectName("pushButton_add");
    remove_button = new QPushButton("Remove", this);
    remove_button->setObjectName("pushButton_remove");
    close_button = new QPushButton("Close", this);
    close_button->setObjectName("pushButton_close");

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(add_button);
    buttons->addWidget(remove_button);
    buttons->addStretch();
    buttons->addWidget(close_button);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_widget);
    layout->addWidget(info_label);
    layout->addLayout(buttons);

    connect(add_button, &QPushButton::clicked, this, &DialogListConfigs::addModelFolder);
    connect(remove_button, &QPushButton::clicked, this, &DialogListConfigs::removeSelected);
    connect(close_button, &QPushButton::clicked, this, &QDialog::accept);
    connect(list_widget, &QListWidget::itemActivated, this, &QDialog::accept);
    connect(list_widget, &QListWidget::currentTextChanged, this, &DialogListConfigs::showCurrent);
    refreshList();
}

bool DialogListConfigs::addConfigPath(const QString& name, const QString& path, const QString& backend)
{
    last_error.clear();
    if (name.isEmpty()) {
        last_error = "a configuration needs a name";
    } else {
        ClassifConfig* existing = map_classif_cfgs.value(name, nullptr);
        std::unique_ptr<ClassifConfig> fresh = existing ? nullptr : std::make_unique<ClassifConfig>();
        ClassifConfig* target = existing ? existing : fresh.get();
        if (target->load(path, backend, &last_error)) {
            if (fresh)
                map_classif_cfgs.insert(name, fresh.release());
            refreshList();
            return true;
        }
    }
    qDebug().noquote() << "configuration" << name << "not loaded:" << last_error;
    return false;
}

void DialogListConfigs::setSelectedConfig(const QString& name)
{
    refreshList();
    const QSignalBlocker blocker(list_widget);
    list_widget->setCurrentItem(list_widget->findItems(name, Qt::MatchExactly).value(0));
    showCurrent();
}

void DialogListConfigs::showEvent(QShowEvent* event)
{
    refreshList();
    QDialog::showEvent(event);
}

void DialogListConfigs::refreshList()
{
    const QString current = list_widget->currentItem() ? list_widget->currentItem()->text() : QString();
    {
        const QSignalBlocker blocker(list_widget);
        list_widget->clear();
        for (auto it = map_classif_cfgs.constBegin(); it != map_classif_cfgs.constEnd(); ++it) {
            auto* item = new QListWidgetItem(it.key(), list_widget);
            const ClassifConfig* config = it.value();
            if (config && !config->loaded)
                item->setForeground(palette().brush(QPalette::Disabled, QPalette::Text));
        }
        // None is current when none was, or when its name is empty or gone.
        list_widget->setCurrentItem(current.isEmpty() ? nullptr
                                                      : list_widget->findItems(current, Qt::MatchExactly).value(0));
    }
    showCurrent();
}

void DialogListConfigs::showCurrent()
{
    const QListWidgetItem* item = list_widget->currentItem();
    const ClassifConfig* config = item ? map_classif_cfgs.value(item->text(), nullptr) : nullptr;
    remove_button->setEnabled(item && (allow_remove_loaded || !config || !config->loaded));
    info_label->setVisible(show_backend);
    if (!config) {
        info_label->clear();
        return;
    }
    QString backend = config->backend_name;
    if (config->loaded && !config->running_backend.isEmpty() && config->running_backend != backend)
        backend += " (on " + config->running_backend + ")";
    info_label->setText(QString("%1%2\n%3").arg(backend, config->loaded ? "" : ", not loaded", config->config_path));
}

QString DialogListConfigs::unusedName(const QString& wanted) const
{
    const QString base = wanted.isEmpty() ? QString("model") : wanted;
    QString name = base;
    for (int n = 2; map_classif_cfgs.contains(name); ++n)
        name = QString("%1 (%2)").arg(base).arg(n);
    return name;
}

void DialogListConfigs::addModelFolder()
{
    const QString folder = UserPrompt::existingDirectory(this, "Model folder", last_folder.isEmpty() ? QDir::homePath() : last_folder,
                                                         QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return;
    last_folder = folder;
    const QString name = unusedName(QFileInfo(QDir::cleanPath(folder)).fileName());
    if (!addConfigPath(name, folder, backendName(backendForThisMachine()))) {
        UserPrompt::critical(this, "Load config", QString("Cannot load the model folder %1:\n%2").arg(folder, last_error));
        return;
    }
    // A user's own choice: listeners hear about it. The list shows the name, just added.
    list_widget->setCurrentItem(list_widget->findItems(name, Qt::MatchExactly).value(0));
}

void DialogListConfigs::unload(const QString& name, ClassifConfig* config)
{
    QMutexLocker lock(&config->mutex);
    emit config_removed(name);
    if (NetworkHolder* holder = config->holder())
        holder->delete_classifier();
    config->loaded = false;
}

void DialogListConfigs::removeSelected()
{
    const QListWidgetItem* item = list_widget->currentItem();
    if (!item)
        return;
    const QString name = item->text();
    ClassifConfig* config = map_classif_cfgs.value(name, nullptr);
    if (config && config->loaded && !allow_remove_loaded)
        return;
    if (config)
        unload(name, config);
    map_classif_cfgs.remove(name);
    delete config;
    refreshList();
}
