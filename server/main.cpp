#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("seerkeep"));
    window.resize(334, 166);
    window.show();
    return app.exec();
}
