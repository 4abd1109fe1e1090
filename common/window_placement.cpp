#include "window_placement.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

void WindowPlacement::centreOnDesktop(QWidget* window)
{
    const QRect desktop = QGuiApplication::primaryScreen()->geometry();
    window->move(desktop.width() / 2 - window->width() / 2, desktop.height() / 2 - window->height() / 2);
}

void WindowPlacement::nextToPointer(QWidget* window)
{
    const QSize screen = QGuiApplication::screens().first()->size();
    const QPoint cursor = QCursor::pos();
    const int x = cursor.x() + window->width() <= screen.width() ? cursor.x() : screen.width() - window->width();
    const int y = cursor.y() + window->height() <= screen.height() ? cursor.y() : screen.height() - window->height();
    window->move(x, y);
}
