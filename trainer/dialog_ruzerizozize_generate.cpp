// Generation of the darknet training folder data_gen.
#include "dialog_ruzerizozize.h"
#include "ui_dialog_ruzerizozize.h"

#include "atomic_file.h"
#include "user_prompt.h"

void DialogRuzerizOzize::on_pushButton_gen_clicked()
{
    if (ui->pushButton_gen->text() != QLatin1String("Generate"))
        return;
    if (classFiles.isEmpty() || genPath.isEmpty())
        return;
    ui->pushButton_gen->setText(QStringLiteral("Generating..."));
    ui->progressBar_gen->setStyleSheet(progressStyleRunning);
    ui->pushButton_train->setEnabled(false);
    ui->pushButton_export->setEnabled(false);
    generate(genPath);
    ui->pushButton_train->setEnabled(true);
    ui->pushButton_export->setEnabled(true);
    ui->pushButton_gen->setText(QStringLiteral("Generate"));
}

void DialogRuzerizOzize::generate(const QString& genFolder)
{
    Q_UNUSED(genFolder);
}

void DialogRuzerizOzize::writeTextFile(const QString& path, const QString& text)
{
    AtomicFile::writeText(path, text);
}

void DialogRuzerizOzize::on_pushButton_browse_clicked()
{
    const QString dir = UserPrompt::existingDirectory(
        this, tr("Select Generate Folder"), genPath,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks | QFileDialog::DontUseNativeDialog);
    if (dir.isEmpty())
        return;
    genPath = dir;
    ui->label_gen->setText(dir);
}
