#pragma once

#include <QByteArray>

namespace testutil {
// A valid black-and-white PNG of any size, built row by row without ever holding the picture:
// 1 bit per pixel, all black, so even 20000 x 20000 pixels take a few kilobytes of file.
QByteArray blankPng(int width, int height);
} // namespace testutil
