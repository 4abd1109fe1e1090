// Augmentation: the transforms, the enumeration of variants (with its stop points), the
// editor's saved state and slider bookkeeping, and the widget-free settings value.

#include "augmentation_enumerator.h"
#include "augmentation_settings.h"
#include "augmentation_transforms.h"
#include "dialog_augmentation.h"
#include "test_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <atomic>
#include <thread>

namespace {

bool identical(const cv::Mat& a, const cv::Mat& b)
{
    if (a.size() != b.size() || a.type() != b.type())
        return false;
    return a.empty() || cv::norm(a, b, cv::NORM_INF) == 0.0;
}

// Both generators the transforms draw from, set to a known state on this thread.
void seedGenerators(uint qtSeed, uint64 cvSeed)
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    qsrand(qtSeed);
    QT_WARNING_POP
    cv::theRNG().state = cvSeed;
}

int qtRandom()
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    return qrand();
    QT_WARNING_POP
}

QJsonObject defaultsTable()
{
    return QJsonObject{
        {"is_rotate", true},     {"rotate_min", -180},   {"rotate_max", 180},     {"rotate_step", 90},
        {"rotate_value", 0},     {"is_contrast", true},  {"contrast_min", 0.2},   {"contrast_max", 1.2},
        {"contrast_step", 1.0},  {"contrast_value", 10}, {"is_noise", true},      {"noise_max", 10},
        {"noise_step", 10},      {"noise_value", 0},     {"is_blur", true},       {"blur_max", 9},
        {"blur_step", 9},        {"blur_value", 1},      {"is_fh", false},        {"fh", false},
        {"is_fv", false},        {"fv", false},
    };
}

QJsonObject withChanges(QJsonObject state, const QJsonObject& changes)
{
    for (auto it = changes.begin(); it != changes.end(); ++it)
        state.insert(it.key(), it.value());
    return state;
}

} // namespace

class TestAugmentation : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir files;
    cv::Mat colour;  // 8-bit BGR, read from a PNG file
    cv::Mat grey;    // one channel
    cv::Mat bgra;    // four channels, opaque
    cv::Mat deep;    // 16-bit BGR, the colour image times 257

    cv::Mat readBack(const cv::Mat& image, const QString& name)
    {
        const QString path = files.filePath(name);
        if (!cv::imwrite(path.toStdString(), image))
            return cv::Mat();
        return cv::imread(path.toStdString(), cv::IMREAD_UNCHANGED);
    }

    // The expected variants, built from the transforms one by one in the documented order.
    static std::vector<cv::Mat> expectedVariants(const cv::Mat& source, const std::vector<double>& noise,
                                                 const std::vector<int>& blur, const std::vector<int>& angles,
                                                 const std::vector<double>& gains, int h, int v)
    {
        std::vector<cv::Mat> out;
        const cv::Mat s = source.clone();
        for (double n : noise) {
            const cv::Mat a = DialogAugmentation::get_noise(s, n);
            for (int b : blur) {
                cv::Mat scaled;
                cv::resize(DialogAugmentation::get_blur(a, b), scaled, cv::Size(608, 608), 0, 0, cv::INTER_LINEAR);
                for (int r : angles) {
                    const cv::Mat rotated = DialogAugmentation::get_rotation(scaled, r);
                    for (double g : gains) {
                        const cv::Mat gained = DialogAugmentation::get_contrast(rotated, g);
                        for (int x = 0; x <= h; ++x) {
                            const cv::Mat mirrored = DialogAugmentation::get_flip_horizontal(gained, x);
                            for (int y = 0; y <= v; ++y) {
                                if (n == 0.0 && b == 1 && g == 1.0 && r == 0 && x == 0 && y == 0)
                                    continue;
                                out.push_back(DialogAugmentation::get_flip_vertical(mirrored, y).clone());
                            }
                        }
                    }
                }
            }
        }
        return out;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(files.isValid());
        // A non-square picture, so the fixed 608 x 608 scaling is visible.
        const cv::Mat shape = SyntheticProject::shapeImage("triangle", 160, 5);
        colour = readBack(shape(cv::Rect(0, 0, 160, 120)).clone(), "colour.png");
        QCOMPARE(colour.type(), CV_8UC3);

        cv::Mat g;
        cv::cvtColor(colour, g, cv::COLOR_BGR2GRAY);
        grey = readBack(g, "grey.png");
        QCOMPARE(grey.type(), CV_8UC1);

        cv::Mat a;
        cv::cvtColor(colour, a, cv::COLOR_BGR2BGRA);
        bgra = readBack(a, "alpha.png");
        QCOMPARE(bgra.type(), CV_8UC4);

        cv::Mat d;
        colour.convertTo(d, CV_16UC3, 257.0);
        deep = readBack(d, "deep.png");
        QCOMPARE(deep.type(), CV_16UC3);
    }

    // --- transforms ---------------------------------------------------------------------

    void rotationGrowsToTheBoundingRectangle()
    {
        const cv::Mat square(608, 608, CV_8UC3, cv::Scalar(255, 255, 255));
        const cv::Mat straight = DialogAugmentation::get_rotation(square, 0);
        QCOMPARE(straight.cols, 609);
        QCOMPARE(straight.rows, 609);
        const cv::Mat diagonal = DialogAugmentation::get_rotation(square, 45);
        QCOMPARE(diagonal.cols, 861);
        QCOMPARE(diagonal.rows, 861);
        // The source is left as it was.
        QCOMPARE(cv::countNonZero(square.reshape(1) != 255), 0);
        // The middle is still the picture; a corner is only border.
        QCOMPARE(diagonal.at<cv::Vec3b>(430, 430), cv::Vec3b(255, 255, 255));
    }

    void rotationBorderColourIsDrawnFromQtGenerator()
    {
        const cv::Mat tiny(8, 8, CV_8UC3, cv::Scalar(255, 255, 255));
        int highest = 0;
        for (uint seed = 1; seed <= 300; ++seed) {
            seedGenerators(seed, 1);
            seedGenerators(uint(qtRandom()), 1); // the transform reseeds with the next value first
            const int red = qtRandom() % 255;
            const int green = qtRandom() % 255;
            const int blue = qtRandom() % 255;

            seedGenerators(seed, 1);
            const cv::Mat rotated = DialogAugmentation::get_rotation(tiny, 45);
            const cv::Vec3b corner = rotated.at<cv::Vec3b>(0, 0);
            QCOMPARE(corner, cv::Vec3b(uchar(blue), uchar(green), uchar(red)));
            for (int c = 0; c < 3; ++c) {
                QVERIFY(corner[c] <= 254);
                highest = std::max(highest, int(corner[c]));
            }
        }
        QVERIFY(highest > 200); // the colours really vary over the whole range
    }

    void noiseBlurContrastAndMirrors()
    {
        const cv::Mat quiet = DialogAugmentation::get_noise(colour, 0.0);
        QVERIFY(identical(quiet, colour));
        QVERIFY(quiet.data != colour.data);

        seedGenerators(1, 7);
        const cv::Mat noisy = DialogAugmentation::get_noise(colour, 10.0);
        QCOMPARE(noisy.type(), CV_8UC3);
        cv::Mat difference;
        cv::absdiff(noisy, colour, difference);
        const double meanDifference = cv::mean(difference.reshape(1))[0];
        // |N(0, 10)| averages about 8; saturation at 0 and 255 lowers it a little.
        QVERIFY2(meanDifference > 5.0 && meanDifference < 10.0, qPrintable(QString::number(meanDifference)));

        // The noise is OpenCV's normal 16-bit fill, added with saturation at both ends.
        for (const double sigma : {10.0, 50.0}) {
            seedGenerators(1, 8);
            const cv::Mat fast = DialogAugmentation::get_noise(colour, sigma);
            seedGenerators(1, 8);
            cv::Mat gaussian(colour.size(), CV_16SC3);
            cv::randn(gaussian, cv::Scalar::all(0), cv::Scalar::all(sigma));
            cv::Mat wide;
            colour.convertTo(wide, CV_16SC3);
            cv::addWeighted(wide, 1, gaussian, 1, 0, wide);
            cv::Mat literal;
            wide.convertTo(literal, CV_8UC3);
            QVERIFY(identical(fast, literal));
            QVERIFY(cv::countNonZero(literal.reshape(1) == 255) > 0 && cv::countNonZero(literal.reshape(1) == 0) > 0);
        }

        cv::Mat five;
        cv::GaussianBlur(colour, five, cv::Size(5, 5), 0, 0);
        cv::Mat three;
        cv::GaussianBlur(colour, three, cv::Size(3, 3), 0, 0);
        const cv::Mat blurred = DialogAugmentation::get_blur(colour, 4);
        QVERIFY(identical(blurred, five));
        QVERIFY(!identical(blurred, three));
        const cv::Mat unblurred = DialogAugmentation::get_blur(colour, 1);
        QVERIFY(identical(unblurred, colour));
        QVERIFY(unblurred.data != colour.data);

        const cv::Mat same = DialogAugmentation::get_contrast(colour, 1.0);
        QVERIFY(identical(same, colour));
        QVERIFY(same.data != colour.data);
        const cv::Mat pixel(1, 2, CV_8UC3, cv::Scalar(10, 101, 200));
        const cv::Mat half = DialogAugmentation::get_contrast(pixel, 0.5);
        QCOMPARE(half.at<cv::Vec3b>(0, 0), cv::Vec3b(5, 50, 100)); // rounded half to even
        const cv::Mat bright = DialogAugmentation::get_contrast(pixel, 1.2);
        QCOMPARE(bright.at<cv::Vec3b>(0, 0), cv::Vec3b(12, 121, 240));
        QCOMPARE(DialogAugmentation::get_contrast(pixel, 3.0).at<cv::Vec3b>(0, 0), cv::Vec3b(30, 255, 255));

        QCOMPARE(DialogAugmentation::get_flip_horizontal(colour, 0).data, colour.data);
        QCOMPARE(DialogAugmentation::get_flip_vertical(colour, 2).data, colour.data);
        cv::Mat mirrored;
        cv::flip(colour, mirrored, 1);
        QVERIFY(identical(DialogAugmentation::get_flip_horizontal(colour, 1), mirrored));
        cv::Mat upsideDown;
        cv::flip(colour, upsideDown, 0);
        QVERIFY(identical(DialogAugmentation::get_flip_vertical(colour, 1), upsideDown));
    }

    void otherPixelFormatsBecomeBgr8()
    {
        // The source formats a project may hold: each is converted, none throws.
        QVERIFY(identical(AugmentationTransforms::toBgr8(deep), colour));
        QVERIFY(identical(AugmentationTransforms::toBgr8(bgra), colour));
        cv::Mat greyBgr;
        cv::cvtColor(grey, greyBgr, cv::COLOR_GRAY2BGR);
        QVERIFY(identical(AugmentationTransforms::toBgr8(grey), greyBgr));
        QCOMPARE(AugmentationTransforms::toBgr8(colour).data, colour.data);

        // The noise transform itself copes with any channel count and depth.
        QCOMPARE(DialogAugmentation::get_noise(grey, 10).type(), CV_8UC1);
        QCOMPARE(DialogAugmentation::get_noise(bgra, 10).type(), CV_8UC4);
        QCOMPARE(DialogAugmentation::get_noise(deep, 10).type(), CV_16UC3);

        // Variants of the converted sources equal those of their 8-bit BGR equivalents.
        const AugmentationSettings defaults;
        std::atomic<bool> running{true};
        seedGenerators(3, 3);
        const std::vector<cv::Mat> reference = AugmentationEnumerator::collect(colour, defaults, running);
        seedGenerators(3, 3);
        const std::vector<cv::Mat> greyReference = AugmentationEnumerator::collect(greyBgr, defaults, running);
        QCOMPARE(int(reference.size()), 20);
        const std::vector<std::pair<const char*, cv::Mat>> sources{{"deep", deep}, {"bgra", bgra}, {"grey", grey}};
        for (const auto& source : sources) {
            seedGenerators(3, 3);
            const std::vector<cv::Mat> variants = AugmentationEnumerator::collect(source.second, defaults, running);
            const std::vector<cv::Mat>& expected = QByteArray(source.first) == "grey" ? greyReference : reference;
            QCOMPARE(variants.size(), expected.size());
            for (size_t i = 0; i < variants.size(); ++i) {
                QCOMPARE(variants[i].type(), CV_8UC3);
                QVERIFY2(identical(variants[i], expected[i]), source.first);
            }
        }
    }

    // --- enumeration --------------------------------------------------------------------

    void defaultsGiveTwentyInNoiseBlurAngleGainOrder()
    {
        DialogAugmentation dialog;
        dialog.image = colour.clone();
        seedGenerators(11, 99);
        const std::vector<cv::Mat> variants = dialog.getAugmentImages();
        QCOMPARE(int(variants.size()), 20);
        QCOMPARE(AugmentationEnumerator::count(dialog.settings()), 20LL);

        seedGenerators(11, 99);
        const std::vector<cv::Mat> expected =
            expectedVariants(colour, {0.0, 10.0}, {1}, {-180, -90, 0, 90, 180}, {0.2, 1.2}, 0, 0);
        QCOMPARE(expected.size(), variants.size());
        for (size_t i = 0; i < variants.size(); ++i)
            QVERIFY2(identical(variants[i], expected[i]), qPrintable(QString("variant %1").arg(i)));
        // The source is untouched, and no two variants share pixels.
        QVERIFY(identical(dialog.image, colour));
        for (size_t i = 1; i < variants.size(); ++i)
            QVERIFY(variants[i].data != variants[i - 1].data);
    }

    void settingsDecideHowManyVariants_data()
    {
        QTest::addColumn<QJsonObject>("changes");
        QTest::addColumn<int>("expected");
        QTest::newRow("all groups unchecked")
            << QJsonObject{{"is_rotate", false}, {"is_contrast", false}, {"is_noise", false}, {"is_blur", false}}
            << 0;
        QTest::newRow("only the flip groups")
            << QJsonObject{{"is_rotate", false}, {"is_contrast", false}, {"is_noise", false},
                           {"is_blur", false},   {"is_fh", true},        {"is_fv", true}}
            << 3;
        QTest::newRow("contrast 0.2 to 1.2 by 0.2") << QJsonObject{{"contrast_step", 0.2}} << 59;
        QTest::newRow("blur 1, 3, 5 with both flips")
            << QJsonObject{{"blur_max", 5}, {"blur_step", 2}, {"is_fh", true}, {"is_fv", true}} << 2 * 3 * 5 * 2 * 4;
        QTest::newRow("first angle after the last") << QJsonObject{{"rotate_min", 90}, {"rotate_max", 0}} << 0;
    }

    void settingsDecideHowManyVariants()
    {
        QFETCH(QJsonObject, changes);
        QFETCH(int, expected);
        DialogAugmentation dialog;
        dialog.image = colour.clone();
        dialog.restoreState(withChanges(defaultsTable(), changes));
        QCOMPARE(int(dialog.getAugmentImages().size()), expected);
        QCOMPARE(AugmentationEnumerator::count(dialog.settings()), (long long)expected);
    }

    void flipGroupsAloneGiveTheThreeMirrors()
    {
        DialogAugmentation dialog;
        dialog.image = colour.clone();
        dialog.restoreState(withChanges(defaultsTable(), {{"is_rotate", false},
                                                          {"is_contrast", false},
                                                          {"is_noise", false},
                                                          {"is_blur", false},
                                                          {"is_fh", true},
                                                          {"is_fv", true}}));
        seedGenerators(5, 5);
        const std::vector<cv::Mat> variants = dialog.getAugmentImages();
        seedGenerators(5, 5);
        const std::vector<cv::Mat> expected = expectedVariants(colour, {0.0}, {1}, {0}, {1.0}, 1, 1);
        QCOMPARE(int(expected.size()), 3);
        QCOMPARE(variants.size(), expected.size());
        for (size_t i = 0; i < variants.size(); ++i)
            QVERIFY(identical(variants[i], expected[i]));
        cv::Mat both;
        cv::flip(variants[0], both, 1); // upside down, then also left-right
        QVERIFY(identical(both, variants[2]));
    }

    void contrastStepReachesOneAndLeavesOutTheUntouchedImage()
    {
        AugmentationSettings settings;
        settings.contrastStep = 0.2;
        seedGenerators(2, 2);
        std::atomic<bool> running{true};
        const std::vector<cv::Mat> variants = AugmentationEnumerator::collect(colour, settings, running);
        QCOMPARE(int(variants.size()), 59);
        seedGenerators(2, 2);
        // Gains by repeated addition: 0.2, 0.4, 0.6000000000000001, 0.8, 1.0, 1.2.
        std::vector<double> gains;
        for (double g = 0.2; g <= 1.2; g += 0.2)
            gains.push_back(g);
        QCOMPARE(int(gains.size()), 6);
        QCOMPARE(gains[4], 1.0);
        const std::vector<cv::Mat> expected =
            expectedVariants(colour, {0.0, 10.0}, {1}, {-180, -90, 0, 90, 180}, gains, 0, 0);
        QCOMPARE(expected.size(), variants.size());
        for (size_t i = 0; i < variants.size(); ++i)
            QVERIFY2(identical(variants[i], expected[i]), qPrintable(QString("variant %1").arg(i)));
    }

    void stopEndsAtThePassBoundaries_data()
    {
        QTest::addColumn<bool>("flips");
        QTest::addColumn<int>("stopAfter");
        QTest::addColumn<int>("expected");
        // Without flips every contrast pass gives one variant, so the stop is honoured at once.
        QTest::newRow("after the first") << false << 1 << 1;
        QTest::newRow("after the seventh") << false << 7 << 7;
        // With both flips a pass gives four: the rest of the pass under way still comes.
        QTest::newRow("first of a mirror pass") << true << 5 << 8;
        QTest::newRow("last of a mirror pass") << true << 8 << 8;
        QTest::newRow("inside the first pass") << true << 2 << 4;
    }

    void stopEndsAtThePassBoundaries()
    {
        QFETCH(bool, flips);
        QFETCH(int, stopAfter);
        QFETCH(int, expected);
        AugmentationSettings settings;
        settings.flipHorizontalEnabled = flips;
        settings.flipVerticalEnabled = flips;

        seedGenerators(4, 4);
        std::atomic<bool> running{true};
        const std::vector<cv::Mat> all = AugmentationEnumerator::collect(colour, settings, running);

        seedGenerators(4, 4);
        std::vector<cv::Mat> produced;
        const int count = AugmentationEnumerator::enumerate(colour, settings, running, [&](cv::Mat variant) {
            produced.push_back(variant);
            if (int(produced.size()) == stopAfter)
                running = false;
        });
        QCOMPARE(count, expected);
        QCOMPARE(int(produced.size()), expected);
        for (size_t i = 0; i < produced.size(); ++i)
            QVERIFY(identical(produced[i], all[i]));
    }

    void sinkMayEditEachVariant()
    {
        // Gain 1.0 comes before the last gain and mirrors share pixels with their input: none of
        // that may leak into the next variant when a consumer reuses the one it was handed.
        AugmentationSettings settings;
        settings.contrastStep = 0.2;
        settings.flipHorizontalEnabled = settings.flipVerticalEnabled = true;
        settings.noiseEnabled = false;
        std::atomic<bool> running{true};
        seedGenerators(6, 6);
        const std::vector<cv::Mat> reference = AugmentationEnumerator::collect(colour, settings, running);
        seedGenerators(6, 6);
        std::vector<cv::Mat> seen;
        AugmentationEnumerator::enumerate(colour, settings, running, [&](cv::Mat variant) {
            seen.push_back(variant.clone());
            variant.setTo(cv::Scalar::all(0));
        });
        QCOMPARE(seen.size(), reference.size());
        for (size_t i = 0; i < seen.size(); ++i)
            QVERIFY2(identical(seen[i], reference[i]), qPrintable(QString("variant %1").arg(i)));
    }

    void stopRequestReachesTheEditorThroughEvents()
    {
        DialogAugmentation dialog;
        dialog.image = colour.clone();
        // Delivered by the event processing that follows the first variant.
        QMetaObject::invokeMethod(&dialog, [&dialog] { dialog.running = false; }, Qt::QueuedConnection);
        QCOMPARE(int(dialog.getAugmentImages().size()), 1);

        // A stop requested before the call: not even the first scaling happens.
        QVERIFY(!dialog.running);
        QCOMPARE(int(dialog.getAugmentImages().size()), 0);

        dialog.running = true;
        dialog.image = cv::Mat();
        QCOMPARE(int(dialog.getAugmentImages().size()), 0);
    }

    void workerThreadsEnumerateIndependently()
    {
        const AugmentationSettings settings;
        seedGenerators(9, 9);
        std::atomic<bool> running{true};
        const std::vector<cv::Mat> reference = AugmentationEnumerator::collect(colour, settings, running);

        std::vector<cv::Mat> results[2];
        auto work = [&](int slot) {
            seedGenerators(9, 9); // both generators are per thread
            results[slot] = AugmentationEnumerator::collect(colour, settings, running);
        };
        std::thread first(work, 0);
        std::thread second(work, 1);
        first.join();
        second.join();
        for (const auto& result : results) {
            QCOMPARE(result.size(), reference.size());
            for (size_t i = 0; i < result.size(); ++i)
                QVERIFY(identical(result[i], reference[i]));
        }
    }

    // --- editor state -------------------------------------------------------------------

    void newEditorSavesTheDefaults()
    {
        DialogAugmentation dialog;
        QCOMPARE(dialog.saveState(), defaultsTable());
        QCOMPARE(AugmentationSettings().toState(), defaultsTable());
        QCOMPARE(AugmentationSettings::fromState(defaultsTable()), AugmentationSettings());
    }

    void formHoldsTheDocumentedWidgets()
    {
        DialogAugmentation dialog;
        QCOMPARE(dialog.windowTitle(), QString("Augmentation"));
        QCOMPARE(dialog.size(), QSize(667, 592));

        struct Spin { const char* name; AugmentationSpinRange range; double step; };
        namespace L = AugmentationLimits;
        const Spin spins[] = {
            {"doubleSpinBox_noise_max", L::noiseMax, 1},         {"doubleSpinBox_noise_step", L::noiseStep, 1},
            {"doubleSpinBox_blur_max", L::blurKernel, 2},        {"doubleSpinBox_blur_step_min", L::blurKernel, 2},
            {"doubleSpinBox_rotation_min", L::rotationAngle, 10}, {"doubleSpinBox_rotation_max", L::rotationAngle, 10},
            {"doubleSpinBox_rotation_step", L::rotationStep, 5}, {"doubleSpinBox_contrast_min", L::contrastMin, 0.2},
            {"doubleSpinBox_contrast_max", L::contrastMax, 0.2}, {"doubleSpinBox_contrast_step", L::contrastStep, 0.1},
        };
        for (const Spin& s : spins) {
            auto* box = dialog.findChild<QDoubleSpinBox*>(s.name);
            QVERIFY2(box, s.name);
            QCOMPARE(box->minimum(), s.range.minimum);
            QCOMPARE(box->maximum(), s.range.maximum);
            QCOMPARE(box->decimals(), s.range.decimals);
            QCOMPARE(box->singleStep(), s.step);
            QCOMPARE(box->alignment(), Qt::Alignment(Qt::AlignCenter));
        }

        struct Slider { const char* name; AugmentationSliderRange range; int step; int value; };
        const Slider sliders[] = {
            {"horizontalSlider_noise", L::noiseSlider, 10, 0},
            {"horizontalSlider_contrast", L::contrastSlider, 2, 10},
            {"horizontalSlider_blur", L::blurSlider, 9, 1},
            {"horizontalSlider_rotation", L::rotationSlider, 1, 0},
        };
        for (const Slider& s : sliders) {
            auto* slider = dialog.findChild<QSlider*>(s.name);
            QVERIFY2(slider, s.name);
            QCOMPARE(slider->minimum(), s.range.minimum);
            QCOMPARE(slider->maximum(), s.range.maximum);
            QCOMPARE(slider->singleStep(), s.step);
            QCOMPARE(slider->value(), s.value);
            QCOMPARE(slider->orientation(), Qt::Horizontal);
            QVERIFY(slider->hasTracking());
        }

        const std::pair<const char*, const char*> groups[] = {
            {"groupBox_noise", "Noise"}, {"groupBox_contrast", "Contrast"}, {"groupBox_blur", "Blur"},
            {"groupBox_rotation", "Rotation"}, {"groupBox_flip_horizontal", "Flip horizontal"},
            {"groupBox_flip_vertical", "Flip vertical"}};
        for (const auto& g : groups) {
            auto* box = dialog.findChild<QGroupBox*>(g.first);
            QVERIFY2(box, g.first);
            QCOMPARE(box->title(), QString(g.second));
            QVERIFY(box->isCheckable());
        }
        QVERIFY(dialog.findChild<QCheckBox*>("checkBox_flip_horizontal")->text().isEmpty());
        QVERIFY(dialog.findChild<QCheckBox*>("checkBox_flip_vertical")->text().isEmpty());

        int rangeLabels = 0;
        for (QLabel* label : dialog.findChildren<QLabel*>()) {
            const QString text = label->text();
            if (text == "step :" || text == "min :" || text == "max :") {
                QVERIFY(label->alignment() & Qt::AlignRight);
                ++rangeLabels;
            }
        }
        QCOMPARE(rangeLabels, 10);
        for (const char* name : {"label_curr_noise", "label_curr_contrast", "label_curr_blur", "label_curr_rotation"})
            QCOMPARE(dialog.findChild<QLabel*>(name)->text(), QString("0"));

        auto* tabs = dialog.findChild<QTabWidget*>("tabWidget");
        QVERIFY(tabs);
        QCOMPARE(tabs->tabText(0), QString("Image"));
        QVERIFY(tabs->font().bold());
        auto* picture = dialog.findChild<QLabel*>("label_img");
        QVERIFY(picture);
        QCOMPARE(picture->styleSheet(), QString("background-color: rgb(32, 74, 135);"));
        QVERIFY(picture->minimumWidth() >= 50 && picture->minimumHeight() >= 50);
    }

    void restoredSliderValuesKeepTheFormsRanges()
    {
        DialogAugmentation dialog;
        dialog.restoreState(
            withChanges(defaultsTable(), {{"contrast_value", 12}, {"noise_value", 20}, {"blur_value", 15}}));
        const QJsonObject saved = dialog.saveState();
        QCOMPARE(saved.value("contrast_value").toInt(), 11);
        QCOMPARE(saved.value("noise_value").toInt(), 10);
        QCOMPARE(saved.value("blur_value").toInt(), 9);
        QVERIFY(!dialog.restoring);

        // The ranges follow the spin boxes once everything is set.
        auto* contrast = dialog.findChild<QSlider*>("horizontalSlider_contrast");
        QCOMPARE(contrast->minimum(), 2);
        QCOMPARE(contrast->maximum(), 12);
        QCOMPARE(contrast->singleStep(), 10);
        QCOMPARE(dialog.findChild<QLabel*>("label_curr_contrast")->text(), QString("1.1"));
        auto* rotation = dialog.findChild<QSlider*>("horizontalSlider_rotation");
        QCOMPARE(rotation->singleStep(), 90);
        QCOMPARE(dialog.findChild<QSlider*>("horizontalSlider_noise")->singleStep(), 10);
        QCOMPARE(dialog.findChild<QLabel*>("label_curr_blur")->text(), QString("9"));
    }

    void restoringEmptyOrPartialObjects()
    {
        DialogAugmentation dialog;
        dialog.restoreState(QJsonObject());
        QCOMPARE(dialog.saveState(), defaultsTable());

        const QJsonObject edited = withChanges(defaultsTable(), {{"noise_max", 30}, {"is_fv", true}});
        dialog.restoreState(edited);
        dialog.restoreState(QJsonObject());
        QCOMPARE(dialog.saveState(), edited);

        DialogAugmentation partial;
        partial.restoreState(QJsonObject{{"is_fh", true}});
        // Missing numbers are 0, raised to the minimum where 0 is below it.
        const QJsonObject expected{
            {"is_rotate", false},    {"rotate_min", 0},     {"rotate_max", 0},      {"rotate_step", 1},
            {"rotate_value", 0},     {"is_contrast", false}, {"contrast_min", 0.1}, {"contrast_max", 1.0},
            {"contrast_step", 0.1},  {"contrast_value", 4}, {"is_noise", false},    {"noise_max", 0},
            {"noise_step", 1},       {"noise_value", 0},    {"is_blur", false},     {"blur_max", 1},
            {"blur_step", 1},        {"blur_value", 1},     {"is_fh", true},        {"fh", false},
            {"is_fv", false},        {"fv", false},
        };
        QCOMPARE(partial.saveState(), expected);
    }

    void settingsFromStateMatchTheRestoredEditor_data()
    {
        QTest::addColumn<QJsonObject>("state");
        QTest::newRow("empty") << QJsonObject();
        QTest::newRow("defaults") << defaultsTable();
        QTest::newRow("one key") << QJsonObject{{"noise_value", 7}};
        QTest::newRow("out of range and unrounded")
            << withChanges(defaultsTable(), {{"rotate_min", -500},      {"rotate_max", 33.6},
                                             {"rotate_step", 0},        {"contrast_min", 0.25},
                                             {"contrast_max", 9},       {"contrast_step", 0.04},
                                             {"noise_max", 12.5},       {"noise_step", -3},
                                             {"blur_max", 4.4},         {"blur_step", 100000},
                                             {"rotate_value", 400},     {"contrast_value", 3},
                                             {"blur_value", -2},        {"noise_value", 5}});
        QTest::newRow("minimum above maximum")
            << withChanges(defaultsTable(), {{"rotate_min", 90}, {"rotate_max", -90}, {"rotate_value", 50},
                                             {"contrast_min", 1.0}, {"contrast_max", 1.0}, {"contrast_value", 4}});
        QTest::newRow("wrong types")
            << withChanges(defaultsTable(), {{"is_rotate", "yes"},      {"contrast_value", "12"},
                                             {"noise_max", "20"},       {"fh", 1},
                                             {"blur_value", 4.5},       {"is_fv", true}});
    }

    void settingsFromStateMatchTheRestoredEditor()
    {
        QFETCH(QJsonObject, state);
        DialogAugmentation dialog;
        dialog.restoreState(state);
        const AugmentationSettings fromJson = AugmentationSettings::fromState(state);
        QVERIFY(fromJson == dialog.settings());
        QCOMPARE(fromJson.toState(), dialog.saveState());
    }

    // --- preview ------------------------------------------------------------------------

    void previewShowsTheImageOnlyWhenThereIsOne()
    {
        DialogAugmentation empty;
        empty.show();
        QVERIFY(QTest::qWaitForWindowExposed(&empty));
        QVERIFY(empty.findChild<QLabel*>("label_img")->pixmap(Qt::ReturnByValue).isNull());

        DialogAugmentation dialog;
        dialog.image = grey.clone(); // the preview converts it like generation does
        dialog.restoreState(withChanges(defaultsTable(), {{"is_fh", true}, {"fh", true}}));
        auto* picture = dialog.findChild<QLabel*>("label_img");
        QVERIFY(picture->pixmap(Qt::ReturnByValue).isNull()); // restoring does not draw
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QPixmap shown = picture->pixmap(Qt::ReturnByValue);
        QVERIFY(!shown.isNull());
        QVERIFY(shown.width() <= picture->width() && shown.height() <= picture->height());
        // 160 x 120 rotated by 0 degrees is 161 x 121; the aspect ratio is kept.
        QVERIFY(qAbs(double(shown.width()) / shown.height() - 161.0 / 121.0) < 0.02);

        // Moving a slider redraws: a quarter turn stands the picture upright.
        auto* rotation = dialog.findChild<QSlider*>("horizontalSlider_rotation");
        rotation->setValue(90);
        QCOMPARE(dialog.findChild<QLabel*>("label_curr_rotation")->text(), QString("90"));
        const QPixmap turned = picture->pixmap(Qt::ReturnByValue);
        QVERIFY(!turned.isNull());
        QVERIFY(qAbs(double(turned.width()) / turned.height() - 121.0 / 161.0) < 0.02);
    }
};

int main(int argc, char** argv)
{
    // Headless whichever way the test is started.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestAugmentation test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_augmentation.moc"
