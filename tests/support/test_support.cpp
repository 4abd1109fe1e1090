#include "test_support.h"

#include "interface_paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

ScopedInterfaceDir::ScopedInterfaceDir()
    : previous(qgetenv(InterfacePaths::kEnvironmentVariable)),
      hadPrevious(qEnvironmentVariableIsSet(InterfacePaths::kEnvironmentVariable))
{
    qputenv(InterfacePaths::kEnvironmentVariable, dir.path().toUtf8());
}

ScopedInterfaceDir::~ScopedInterfaceDir()
{
    if (hadPrevious)
        qputenv(InterfacePaths::kEnvironmentVariable, previous);
    else
        qunsetenv(InterfacePaths::kEnvironmentVariable);
}

cv::Mat SyntheticProject::shapeImage(const QString& className, int size, unsigned seed)
{
    cv::RNG rng(seed * 7919u + uint(qHash(className)));
    cv::Mat img(size, size, CV_8UC3);
    rng.fill(img, cv::RNG::UNIFORM, cv::Scalar::all(60), cv::Scalar::all(140));
    const double s = size;
    const cv::Point center(int(rng.uniform(0.35, 0.65) * s), int(rng.uniform(0.35, 0.65) * s));
    const int radius = int(rng.uniform(0.18, 0.28) * s);
    if (className == "square") {
        cv::rectangle(img, center - cv::Point(radius, radius), center + cv::Point(radius, radius),
                      cv::Scalar(40, 200, 40), cv::FILLED);
    } else if (className == "triangle") {
        std::vector<cv::Point> pts{center + cv::Point(0, -radius), center + cv::Point(radius, radius),
                                   center + cv::Point(-radius, radius)};
        cv::fillConvexPoly(img, pts, cv::Scalar(220, 60, 30));
    } else if (className == "cross") {
        cv::line(img, center - cv::Point(radius, radius), center + cv::Point(radius, radius), cv::Scalar(240, 240, 240),
                 std::max(2, size / 12));
        cv::line(img, center + cv::Point(-radius, radius), center + cv::Point(radius, -radius),
                 cv::Scalar(240, 240, 240), std::max(2, size / 12));
    } else {
        const uint h = qHash(className);
        const cv::Scalar colour = className == "circle" ? cv::Scalar(30, 30, 230)
                                                        : cv::Scalar(h & 255, (h >> 8) & 255, (h >> 16) & 255);
        cv::circle(img, center, radius, colour, cv::FILLED);
    }
    return img;
}

void SyntheticProject::write(const QString& root, const QStringList& classes, int imagesPerClass, int size,
                             const QString& extension, unsigned seed)
{
    for (const QString& cls : classes) {
        const QString folder = root + "/" + cls;
        QDir().mkpath(folder);
        for (int i = 0; i < imagesPerClass; ++i) {
            const cv::Mat img = shapeImage(cls, size, seed * 1000u + unsigned(i));
            cv::imwrite((folder + "/" + QString::number(i) + "." + extension).toStdString(), img);
        }
    }
}

namespace testutil {

QString readAll(const QString& path) { return QString::fromUtf8(readBytes(path)); }

QByteArray readBytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

QString sourceDir() { return QStringLiteral(VELA_SOURCE_DIR); }
QString binaryDir() { return QStringLiteral(VELA_BINARY_DIR); }

QProcessEnvironment programEnvironment(const QString& interfaceDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(InterfacePaths::kEnvironmentVariable, interfaceDir);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // A program under test never reaches the real usage counter of whoever runs the tests.
    for (const QString& key : env.keys()) {
        if (key.startsWith(QLatin1String("VELA_COUNTER_")))
            env.remove(key);
    }
    return env;
}

} // namespace testutil
