#include "fuzz_inputs.h"

#include "blank_png.h"

#include <opencv2/imgcodecs.hpp>

QByteArray FuzzInputs::randomBytes(int size)
{
    QByteArray bytes(size, '\0');
    for (char& b : bytes)
        b = char(rng.bounded(256));
    return bytes;
}

QByteArray FuzzInputs::realPicture(int width, int height, const char* extension)
{
    cv::Mat picture(height, width, CV_8UC3);
    cv::randu(picture, cv::Scalar::all(0), cv::Scalar::all(255));
    std::vector<uchar> bytes;
    cv::imencode(extension, picture, bytes);
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
}

QByteArray FuzzInputs::picture()
{
    const char* extension = rng.bounded(2) ? ".png" : ".jpg";
    switch (rng.bounded(9)) {
    case 0:
        return randomBytes(rng.bounded(4096));
    case 1:
        return QByteArray("\x89PNG\r\n\x1a\n", 8) + randomBytes(rng.bounded(2048));
    case 2:
        return QByteArray("\xff\xd8\xff\xe0", 4) + randomBytes(rng.bounded(2048));
    case 3: {
        const QByteArray real = realPicture(1 + rng.bounded(400), 1 + rng.bounded(400), extension);
        return real.left(rng.bounded(real.size()));
    }
    case 4: {
        QByteArray real = realPicture(1 + rng.bounded(400), 1 + rng.bounded(400), extension);
        for (int i = 0; i < 1 + rng.bounded(20); ++i)
            real[rng.bounded(real.size())] = char(rng.bounded(256));
        return real;
    }
    case 5:
        return realPicture(1 + rng.bounded(700), 1 + rng.bounded(700), extension);
    case 6:
        return rng.bounded(2) ? realPicture(2000 + rng.bounded(2000), 1 + rng.bounded(2), extension)
                              : realPicture(1 + rng.bounded(2), 2000 + rng.bounded(2000), extension);
    case 7: {
        // Few sizes, each built once: the file is small but building it is not.
        const int size = 12000 + 9000 * rng.bounded(3);
        if (!hugePictures.contains(size))
            hugePictures.insert(size, testutil::blankPng(size + 7, size));
        return hugePictures.value(size);
    }
    default:
        return QByteArray();
    }
}

QByteArray FuzzInputs::command(const QString& picturePath)
{
    const QByteArray path = picturePath.toUtf8();
    const char* const words[] = {"update", "test", "exit", "Update", " test", "", ",", "test,", "update,"};
    switch (rng.bounded(7)) {
    case 0:
        return randomBytes(rng.bounded(512));
    case 1:
        return "test," + path + (rng.bounded(2) ? "\r\n" : "");
    case 2:
        return "test\n";
    case 3:
        return "update," + randomBytes(rng.bounded(40)).toHex() + "\n";
    case 4: {
        QByteArray text = words[rng.bounded(int(std::size(words)))];
        text += "," + randomBytes(rng.bounded(20)).toBase64();
        if (rng.bounded(2))
            text += "," + path;
        return text; // three parts or a word with an argument: never a plain "exit"
    }
    case 5: {
        QByteArray text(64 * 1024 + rng.bounded(2 * 1024 * 1024), 'a');
        for (int i = 0; i < 100; ++i)
            text[rng.bounded(text.size())] = char(32 + rng.bounded(95));
        return text;
    }
    default: {
        QByteArray text = "test," + path;
        const int cut = rng.bounded(text.size() + 1);
        return text.left(cut) + QByteArray(1, '\0') + randomBytes(rng.bounded(64));
    }
    }
}
