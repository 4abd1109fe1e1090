#include "seerkeep_main_window.h"

#include "instance_lock.h"
#include "interface_paths.h"

#include <QApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // Two servers on one command file would take each other's commands and answers.
    QDir().mkpath(InterfacePaths::root());
    InstanceLock onlyServer(InterfacePaths::serverLock());
    if (!onlyServer.tryLock()) {
        const QByteArray folder = InterfacePaths::root().toLocal8Bit();
        if (onlyServer.takenByAnother())
            std::fprintf(stderr, "seerkeep: another server (process %lld) already answers the commands in %s; "
                                 "this one exits\n",
                         onlyServer.holder(), folder.constData());
        else
            std::fprintf(stderr, "seerkeep: cannot create %s, so no command can be answered safely; exiting\n",
                         QFile::encodeName(onlyServer.path()).constData());
        return 1;
    }
    seerkeep::seerkeep_main_window window(argc, argv);
    window.show();
    QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QApplication::quit);
    return app.exec();
}
