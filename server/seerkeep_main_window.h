#pragma once

#include <QMainWindow>
#include <QString>

class DialogDeraRodizir_v2;
class QTimer;

namespace Ui {
class seerkeep_main_window;
}

namespace seerkeep {

// The inference server's control window. A driver talks to it through the command file: as soon
// as it is written (and every 500 ms in any case) the file is looked for, its one command
// ("update", "test", "exit") carried out on the classifier dialog, the file deleted and the
// heartbeat file rewritten.
class seerkeep_main_window : public QMainWindow
{
    Q_OBJECT

public:
    // The arguments are not used.
    seerkeep_main_window(int argc, char** argv, QWidget* parent = nullptr);
    ~seerkeep_main_window() override;

    static constexpr int kPollIntervalMs = 500;

private slots:
    void on_pushButton_2_clicked();
    void on_pushButton_update_model_clicked();
    void on_pushButton_clicked();
    void loop_cmd();

private:
    DialogDeraRodizir_v2* dlg_deep_classif = nullptr;
    QTimer* loop_timer = nullptr;
    Ui::seerkeep_main_window* ui;
    QString id_token;
    // Something at the command file's path that is no file (a folder, a FIFO): it holds no
    // command and is removed, or, when it cannot be, told about once.
    void discardNonFileCommand();
    bool toldUnremovable = false;
};

} // namespace seerkeep
