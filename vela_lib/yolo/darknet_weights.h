#pragma once

#include "weights_header.h"

#include <QByteArray>
#include <QString>

// A darknet weights file (see WeightsHeader) as the classifier checks it before import.
class DarknetWeights
{
public:
    // Reads the header from the start of a file of fileSize bytes and checks that exactly
    // expectedFloats parameters follow it. On failure returns false and says why in error.
    static bool check(const QByteArray& start, qint64 fileSize, qint64 expectedFloats, QString* error);

    // Header bytes for version 0.2.0 with the given count of images seen, as darknet writes it.
    static QByteArray header(quint64 seen = 0);
};
