#include "focused_wheel_only.h"

#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QEvent>
#include <QScrollBar>
#include <QWidget>

void FocusedWheelOnly::install(QWidget* root)
{
    auto* guard = new FocusedWheelOnly(root);
    QList<QWidget*> guarded;
    for (QAbstractSpinBox* box : root->findChildren<QAbstractSpinBox*>())
        guarded << box;
    for (QAbstractSlider* slider : root->findChildren<QAbstractSlider*>())
        if (!qobject_cast<QScrollBar*>(slider))
            guarded << slider;
    for (QWidget* widget : guarded) {
        // A wheel would otherwise give the focus first and then turn the value.
        if (widget->focusPolicy() == Qt::WheelFocus)
            widget->setFocusPolicy(Qt::StrongFocus);
        widget->installEventFilter(guard);
    }
}

bool FocusedWheelOnly::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::Wheel || static_cast<QWidget*>(watched)->hasFocus())
        return false;
    // Ignored and filtered: the event goes on to the parents, such as an enclosing scroll area.
    event->ignore();
    return true;
}
