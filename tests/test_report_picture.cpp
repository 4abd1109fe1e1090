// The training report's picture: ticks on round values, the best validation's 95 % interval and
// a label that nothing drawn over the plot covers.
#include "training_report.h"
#include "training_report_picture.h"

#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include <cmath>

using namespace TrainingReportPicture;

class TestReportPicture : public QObject
{
    Q_OBJECT

private slots:
    void ticksFallOnOneTwoFiveSteps()
    {
        // range, and the first tick, step and count expected of about five
        const double cases[][5] = {{0, 1150, 0, 200, 6}, {3, 47, 10, 10, 4}, {0, 0.9, 0, 0.2, 5}, {117, 133, 120, 5, 3}};
        for (const auto& c : cases) {
            const std::vector<double> ticks = roundTicks(c[0], c[1], 5);
            QCOMPARE(int(ticks.size()), int(c[4]));
            for (size_t i = 0; i < ticks.size(); ++i)
                QVERIFY2(std::abs(ticks[i] - c[2] - double(i) * c[3]) < 1e-9, qPrintable(QString::number(ticks[i])));
        }
    }

    void wilsonIntervalOfFewImagesIsWide()
    {
        const Interval of24 = wilson95(23, 24);
        QCOMPARE(std::lround(100 * of24.low), 80L);
        QCOMPARE(std::lround(100 * of24.high), 99L);
        QCOMPARE(wilson95(0, 10).low, 0.0);
        QCOMPARE(wilson95(10, 10).high, 1.0);
        QVERIFY(wilson95(230, 240).high - wilson95(230, 240).low < of24.high - of24.low);
    }

    void bestLabelShowsTheIntervalAndNothingCoversIt()
    {
        TrainingReport report("VoderoVod_32", {"circle", "square", "triangle"}, true);
        // A batch accuracy that sweeps the whole plot, and 115 evaluations on 24 images round the best.
        for (int i = 1; i <= 1150; ++i)
            report.addIteration(i, 2.0 / (1 + i / 100.0), 0.5 + 0.5 * std::sin(i / 7.0));
        for (int e = 1; e <= 115; ++e) {
            ValidationResult result;
            result.iteration = 10 * e;
            result.images = 24;
            result.top1 = (e == 60 ? 23 : 20 + e % 3) / 24.0;
            report.addEvaluation(result);
        }
        report.setProgress(1157, 1157 * 16, 60);

        const BestLabel label = bestLabel(report);
        QCOMPARE(label.lines.size(), size_t(3));
        QCOMPARE(QString::fromStdString(label.lines[0]), QString("best 95.83 % of 24 images"));
        QCOMPARE(QString::fromStdString(label.lines[1]), QString("95 % interval 80-99 %"));
        QCOMPARE(QString::fromStdString(label.lines[2]), QString("best of 115 evaluations"));

        std::string png;
        QVERIFY(encode(report, &png));
        const cv::Mat picture = cv::imdecode(std::vector<uchar>(png.begin(), png.end()), cv::IMREAD_COLOR);
        QCOMPARE(picture.size(), cv::Size(kWidth, kHeight));
        QCOMPARE(label.box & cv::Rect(0, 0, kWidth, kHeight), label.box);
        // The label's background, ink and frame have equal blue and green; every curve and point
        // colour has them far apart, so any such pixel in the box was drawn over the label.
        int covered = 0, red = 0;
        for (int y = label.box.y; y < label.box.y + label.box.height; ++y) {
            for (int x = label.box.x; x < label.box.x + label.box.width; ++x) {
                const cv::Vec3b bgr = picture.at<cv::Vec3b>(y, x);
                covered += std::abs(bgr[0] - bgr[1]) > 3 ? 1 : 0;
                red += bgr[2] - bgr[1] > 100 ? 1 : 0;
            }
        }
        QCOMPARE(covered, 0);
        QVERIFY(red > 100);
    }
};

QTEST_MAIN(TestReportPicture)
#include "test_report_picture.moc"
