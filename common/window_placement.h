#pragma once

class QWidget;

// Where the two programs put their windows.
class WindowPlacement
{
public:
    // Centred on the desktop (each half taken by integer division).
    static void centreOnDesktop(QWidget* window);
    // At the mouse pointer, moved back where it would cross the right or bottom edge of the
    // first screen's available area (panels left out), at the size its layout will give it; a
    // window larger than the area starts at the area's top-left corner.
    static void nextToPointer(QWidget* window);
};
