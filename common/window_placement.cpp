#include "window_placement.h"

#include <QCursor>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QWidget>

#include <algorithm>

void WindowPlacement::centreOnDesktop(QWidget* window)
{
    const QRect desktop = QGuiApplication::primaryScreen()->geometry();
    window->move(desktop.width() / 2 - window->width() / 2, desktop.height() / 2 - window->height() / 2);
}

void WindowPlacement::nextToPointer(QWidget* window)
{
    // Measured as it will show: its layout first grows it to what its contents need, and a
    // window shown before has a known frame.
    window->ensurePolished();
    if (window->layout())
        window->layout()->activate();
    const QSize size = window->frameGeometry().size();
    const QRect area = QGuiApplication::screens().first()->availableGeometry();
    const QPoint cursor = QCursor::pos();
    const int right = area.x() + area.width(), bottom = area.y() + area.height();
    const int x = cursor.x() + size.width() <= right ? cursor.x() : right - size.width();
    const int y = cursor.y() + size.height() <= bottom ? cursor.y() : bottom - size.height();
    // A window larger than the area keeps its top-left corner (and title bar) on the screen.
    window->move(std::max(x, area.x()), std::max(y, area.y()));
}
