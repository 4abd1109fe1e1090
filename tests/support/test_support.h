#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <opencv2/core.hpp>

// Gives the test its own interface folder: VELA_TMP_DIR points into a fresh temporary folder
// for the lifetime of the object, and is restored afterwards.
class ScopedInterfaceDir
{
public:
    ScopedInterfaceDir();
    ~ScopedInterfaceDir();
    QString path() const { return dir.path(); }
    QString file(const QString& name) const { return dir.path() + "/" + name; }

private:
    QTemporaryDir dir;
    QByteArray previous;
    bool hadPrevious;
};

// Small synthetic dataset projects: one folder per class, each image a coloured shape on a
// noisy background, so that a classifier can really learn them.
class SyntheticProject
{
public:
    // Shapes by class name: "circle", "square", "triangle", "cross"; any other name draws a
    // circle in a colour derived from the name.
    static cv::Mat shapeImage(const QString& className, int size, unsigned seed);
    // Writes imagesPerClass images of each class into root/<class>/<i>.<extension>.
    static void write(const QString& root, const QStringList& classes, int imagesPerClass, int size = 64,
                      const QString& extension = "png", unsigned seed = 1);
};

namespace testutil {
QString readAll(const QString& path);
QByteArray readBytes(const QString& path);
void writeBytes(const QString& path, const QByteArray& bytes);
QString sourceDir();
QString binaryDir();
// Environment for child programs with the given interface folder and the offscreen platform, and
// without any usage-counter configuration of the caller.
QProcessEnvironment programEnvironment(const QString& interfaceDir);
} // namespace testutil
