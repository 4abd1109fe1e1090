#pragma once

#include <QMainWindow>
#include <QStringList>

class DialogRuzerizOzize;

namespace Ui {
class forgewright_main_window;
}

namespace forgewright {

// The trainer's small control panel and batch driver: restores the trainer dialog from the
// state file, then carries out the command-line words "gen" and "train".
class forgewright_main_window : public QMainWindow
{
    Q_OBJECT

public:
    forgewright_main_window(int argc, char** argv, QWidget* parent = nullptr);
    ~forgewright_main_window() override;

    // Sends one increment of the shared usage counter.
    void set_colab_count();

    bool exitAfterGen = false;
    // What a run that ends before the event loop returns: 1 when generation was refused or
    // failed, a training start was refused or the state file of a batch run cannot be read.
    int exitCode = 0;

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void on_pushButton_5_clicked();
    void on_pushButton_4_clicked();
    void on_pushButton_3_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_clicked();

private:
    // The dialog's settings with the two path fields, written whole to the state file.
    void writeStateFile();
    // Kept for the next start by an interactive window whose state file was restored.
    void keepStateWhenInteractive();
    void showDialogFolders();
    // What is wrong with the state file when it holds no valid JSON (the arguments are then
    // ignored, or a batch run refused), else empty.
    QString readStateFile();
    // A batch run whose state cannot be read ends at once with 1, after one line on standard
    // error and the record its first word would end with ("gen_error" or "train_end").
    void refuseBatchRun(const QStringList& words, const QString& problem);
    void runArguments(const QStringList& words);

    // A window that restored the state file and runs no batch word writes the settings back when
    // the user generates, starts training or closes a window; a batch run writes nothing new, and
    // a state file that could not be restored is never overwritten.
    bool keepsState = false;
    bool stateRestored = false;

    Ui::forgewright_main_window* ui;
    DialogRuzerizOzize* dlg_classif_train = nullptr;
};

} // namespace forgewright
