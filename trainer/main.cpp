#include "forgewright_main_window.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    forgewright::forgewright_main_window window(argc, argv);
    if (window.exitAfterGen) {
        window.close();
        return window.exitCode;
    }
    window.show();
    QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QApplication::quit);
    return app.exec();
}
