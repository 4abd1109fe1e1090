#pragma once

#include <QObject>

class QWidget;

// Spin boxes and sliders that turn with the mouse wheel only while they hold the keyboard focus:
// a wheel turned to scroll a panel then scrolls it, instead of changing whichever value happens
// to pass under the pointer.
class FocusedWheelOnly : public QObject
{
    Q_OBJECT

public:
    // Guards every spin box and slider inside root (scroll bars stay as they are); the guard
    // belongs to root.
    static void install(QWidget* root);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit FocusedWheelOnly(QObject* parent) : QObject(parent) {}
};
