#pragma once

#include <QDialog>
#include <QMap>
#include <QString>

class ClassifConfig;
class QLabel;
class QListWidget;
class QPushButton;
class QShowEvent;

// The list of loaded classifier configurations, shared by every classifier dialog of a process.
class DialogListConfigs : public QDialog
{
    Q_OBJECT

public:
    explicit DialogListConfigs(QWidget* parent = nullptr);

    // Name to configuration, shared process-wide. Configurations are owned by the map.
    static QMap<QString, ClassifConfig*> map_classif_cfgs;

    // Loads the model folder `path` on `backend` ("CUDA", "Vulkan", "CPU") under `name`. On
    // true the map holds a loaded configuration under name (an existing entry is reloaded in
    // place, so pointers to it stay valid); on false, with one debug message saying why,
    // nothing half-loaded is left in the map (an earlier entry under that name stays as it
    // was, loaded or not).
    bool addConfigPath(const QString& name, const QString& path, const QString& backend);
    // Preselects an entry of the list (none when name is not listed) without emitting
    // currentTextChanged: only the user's choices are announced.
    void setSelectedConfig(const QString& name);
    // Why the latest addConfigPath() failed.
    QString lastError() const { return last_error; }
    // Unloads the network of config, listed under name, which stays in the map: under the
    // configuration's lock, the listeners hear of it first (they may take their own locks).
    void unload(const QString& name, ClassifConfig* config);

    // The list widget, one entry per configuration name: callers connect to its
    // currentTextChanged(QString). Activating an entry (double click, Enter) closes the dialog.
    QListWidget* list_widget = nullptr;

    // Flags an embedding host sets when it creates the dialog.
    // Whether the remove button may unload a loaded configuration; when false only entries
    // registered without loading can be removed, so a host's model stays in place.
    bool allow_remove_loaded = false;
    // Whether the backend and folder of the current entry are shown under the list.
    bool show_backend = true;

protected:
    void showEvent(QShowEvent* event) override;

signals:
    // A configuration is about to go away.
    void config_removed(QString name);

private:
    void refreshList();
    void addModelFolder();
    void removeSelected();
    void showCurrent();
    QString unusedName(const QString& wanted) const;

    QLabel* info_label = nullptr;
    QPushButton* add_button = nullptr;
    QPushButton* remove_button = nullptr;
    QPushButton* close_button = nullptr;
    QString last_error;
    QString last_folder;
};

namespace vela_lib_darknet_widget {
// The one shared list dialog; null until a classifier dialog creates it.
extern DialogListConfigs* dlg_classif_lst_config;
} // namespace vela_lib_darknet_widget
