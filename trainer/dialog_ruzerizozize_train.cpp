// The training run: launching, following, stopping and exporting the darknet trainer.
#include "dialog_ruzerizozize.h"
#include "ui_dialog_ruzerizozize.h"

void DialogRuzerizOzize::on_pushButton_train_clicked() {}

void DialogRuzerizOzize::stop_train() {}

void DialogRuzerizOzize::processStateChanged(QProcess::ProcessState) {}

void DialogRuzerizOzize::stdoutReady() {}

void DialogRuzerizOzize::stderrReady() {}

void DialogRuzerizOzize::updateTimeElape() {}

void DialogRuzerizOzize::on_pushButton_export_clicked() {}
