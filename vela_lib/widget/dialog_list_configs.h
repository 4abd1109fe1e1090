#pragma once

#include <QDialog>
#include <QMap>
#include <QString>

class ClassifConfig;
class QListWidget;
class QPushButton;

// The list of loaded classifier configurations, shared by every classifier dialog of a process.
class DialogListConfigs : public QDialog
{
    Q_OBJECT

public:
    explicit DialogListConfigs(QWidget* parent = nullptr);
    ~DialogListConfigs() override;

    // Name to configuration, shared process-wide. Configurations are owned by the map.
    static QMap<QString, ClassifConfig*> map_classif_cfgs;

    // Loads the model folder `path` on `backend` ("CUDA", "Vulkan", "CPU") under `name`. On
    // true the map holds a loaded configuration under name; on false nothing half-loaded is
    // left in the map (an earlier entry under that name stays as it was, unloaded or not).
    bool addConfigPath(const QString& name, const QString& path, const QString& backend);
    // Preselects an entry of the list.
    void setSelectedConfig(const QString& name);

    // The list widget: callers connect to its currentTextChanged(QString).
    QListWidget* list_widget = nullptr;

    // Flags an embedding host sets when it creates the dialog.
    bool allow_remove_loaded = false;
    bool show_backend = true;

signals:
    // A configuration is about to go away.
    void config_removed(QString name);

private:
    void refreshList();
    void addModelFolder();
    void removeSelected();

    QPushButton* add_button = nullptr;
    QPushButton* remove_button = nullptr;
};

namespace vela_lib_darknet_widget {
// The one shared list dialog; null until a classifier dialog creates it.
extern DialogListConfigs* dlg_classif_lst_config;
} // namespace vela_lib_darknet_widget
