#include "digits_project.h"

#include <QDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <string>

namespace {

const int kFonts[] = {cv::FONT_HERSHEY_SIMPLEX, cv::FONT_HERSHEY_DUPLEX, cv::FONT_HERSHEY_TRIPLEX};

cv::Scalar colourBetween(cv::RNG& rng, int low, int high)
{
    return cv::Scalar(rng.uniform(low, high), rng.uniform(low, high), rng.uniform(low, high));
}

} // namespace

cv::Mat DigitsProject::digitImage(int digit, int side, unsigned seed)
{
    cv::RNG rng(seed * 2654435761u + unsigned(digit) * 40503u + 17u);
    cv::Mat picture(side, side, CV_8UC3, colourBetween(rng, 0, 110));

    const int font = kFonts[rng.uniform(0, int(sizeof kFonts / sizeof kFonts[0]))] |
                     (rng.uniform(0, 5) == 0 ? cv::FONT_ITALIC : 0);
    const int thickness = rng.uniform(2, 4);
    const std::string text = std::to_string(digit);
    int baseline = 0;
    const cv::Size unit = cv::getTextSize(text, font, 1.0, thickness, &baseline);
    // The glyph fills 65 to 85 % of the height, up to a tenth of the side off the centre.
    const double scale = rng.uniform(0.65, 0.85) * side / unit.height;
    const cv::Size size = cv::getTextSize(text, font, scale, thickness, &baseline);
    const int shift = side / 10;
    const int x = (side - size.width) / 2 + rng.uniform(-shift, shift + 1);
    const int y = (side + size.height) / 2 + rng.uniform(-shift, shift + 1);
    cv::putText(picture, text, cv::Point(x, y), font, scale, colourBetween(rng, 150, 256), thickness, cv::LINE_AA);

    const cv::Mat tilt =
        cv::getRotationMatrix2D(cv::Point2f(side / 2.f, side / 2.f), rng.uniform(-8.0, 8.0), 1.0);
    cv::warpAffine(picture, picture, tilt, picture.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    cv::Mat noisy;
    picture.convertTo(noisy, CV_16SC3);
    cv::Mat noise(picture.size(), CV_16SC3);
    rng.fill(noise, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(8));
    cv::Mat(noisy + noise).convertTo(picture, CV_8UC3);
    return picture;
}

void DigitsProject::write(const QString& root, int perClass, unsigned seed, int side)
{
    for (int digit = 0; digit < kClasses; ++digit) {
        const QString folder = root + "/" + QString::number(digit);
        QDir().mkpath(folder);
        for (int n = 0; n < perClass; ++n) {
            const cv::Mat picture = digitImage(digit, side, seed * 100003u + unsigned(n));
            cv::imwrite((folder + "/" + QString::number(n) + ".png").toStdString(), picture);
        }
    }
}
