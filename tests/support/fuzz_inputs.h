#pragma once

#include <QByteArray>
#include <QHash>
#include <QRandomGenerator>
#include <QString>

// Random command files and picture files for robustness runs: mostly broken, some plausible,
// a few valid. Repeatable for a given seed.
class FuzzInputs
{
public:
    explicit FuzzInputs(quint32 seed) : rng(seed) {}

    // Bytes of a picture-like file: random data, damaged or truncated real pictures, real
    // pictures of odd sizes, pictures whose header claims billions of pixels, empty files.
    QByteArray picture();
    // Bytes of a command file that never asks the server to exit. `picturePath` names a
    // picture the command may refer to.
    QByteArray command(const QString& picturePath);

    QRandomGenerator rng;

private:
    QHash<int, QByteArray> hugePictures;

    QByteArray randomBytes(int size);
    QByteArray realPicture(int width, int height, const char* extension);
};
