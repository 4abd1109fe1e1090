#include "seerkeep_main_window.h"
#include "ui_seerkeep_main_window.h"

#include "command_file_watcher.h"
#include "dialog_derarodizir_v2.h"
#include "heartbeat.h"
#include "interface_paths.h"
#include "server_command.h"
#include "usage_counter.h"
#include "window_placement.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

namespace seerkeep {

seerkeep_main_window::seerkeep_main_window(int, char**, QWidget* parent)
    : QMainWindow(parent), ui(new Ui::seerkeep_main_window)
{
    ui->setupUi(this);
    ui->lineEdit_model_path->setText(InterfacePaths::defaultModelFolder());
    ui->lineEdit_img_path->setText(InterfacePaths::defaultTestImage());
    setWindowIcon(QIcon(QStringLiteral(":/seerkeep/images/icon.png")));
    WindowPlacement::centreOnDesktop(this);

    dlg_deep_classif = new DialogDeraRodizir_v2(nullptr);
    dlg_deep_classif->setWindowModality(Qt::WindowModal);
    dlg_deep_classif->setWindowFlags(Qt::WindowCloseButtonHint);

    QDir().mkpath(ui->lineEdit_model_path->text());
    // Commands are carried out as soon as they are written; the timer catches what a file
    // system does not notify. Watching begins before the leftover goes, so no command is missed.
    if (CommandFileWatcher::wanted())
        connect(new CommandFileWatcher(InterfacePaths::serverCommand(), this), &CommandFileWatcher::ready, this,
                &seerkeep_main_window::loop_cmd);
    // A command left from an earlier run is stale: it is never carried out.
    QFile::remove(InterfacePaths::serverCommand());

    loop_timer = new QTimer(this);
    connect(loop_timer, &QTimer::timeout, this, &seerkeep_main_window::loop_cmd);
    loop_timer->start(kPollIntervalMs);

    UsageCounter::signIn(this, [this](bool signedIn, const QString& idToken) {
        if (!signedIn) {
            id_token.clear();
            return;
        }
        id_token = idToken;
        UsageCounter::readCount(this, id_token);
    });
}

seerkeep_main_window::~seerkeep_main_window()
{
    delete ui;
}

void seerkeep_main_window::on_pushButton_2_clicked()
{
    dlg_deep_classif->test_model(ui->lineEdit_img_path->text());
}

void seerkeep_main_window::on_pushButton_update_model_clicked()
{
    dlg_deep_classif->update_model(ui->lineEdit_model_path->text());
}

void seerkeep_main_window::on_pushButton_clicked()
{
    WindowPlacement::nextToPointer(dlg_deep_classif);
    if (!dlg_deep_classif->isVisible())
        dlg_deep_classif->show();
}

void seerkeep_main_window::loop_cmd()
{
    QString text;
    if (!ServerCommand::readFile(InterfacePaths::serverCommand(), text)) {
        discardNonFileCommand();
        return;
    }
    qDebug().noquote() << text;

    const ServerCommand command = ServerCommand::parse(text);
    switch (command.kind) {
    case ServerCommand::Update:
        dlg_deep_classif->update_model(command.hasArgument ? command.argument : ui->lineEdit_model_path->text());
        break;
    case ServerCommand::Test:
        dlg_deep_classif->test_model(command.hasArgument ? command.argument : ui->lineEdit_img_path->text());
        break;
    case ServerCommand::Exit:
        loop_timer->stop();
        close();
        QCoreApplication::exit(0);
        break;
    case ServerCommand::None:
        break;
    }

    QFile::remove(InterfacePaths::serverCommand());
    Heartbeat::write(InterfacePaths::serverHeartbeat());
}

void seerkeep_main_window::discardNonFileCommand()
{
    const QString path = InterfacePaths::serverCommand();
    const QFileInfo info(path);
    if (!info.exists() || info.isFile())
        return; // absent, or a file not readable yet: as before
    const bool removed = info.isDir() ? QDir().rmdir(path) : QFile::remove(path);
    if (removed) {
        qWarning().noquote() << "the command file" << path << "was no file but"
                             << (info.isDir() ? "a folder" : "a special file") << "; removed, no command carried out";
        Heartbeat::write(InterfacePaths::serverHeartbeat());
        toldUnremovable = false;
    } else if (!toldUnremovable) {
        qWarning().noquote() << "the command file" << path << "is no file and cannot be removed; no command "
                             << "can arrive until it is gone";
        toldUnremovable = true;
    }
}

} // namespace seerkeep
