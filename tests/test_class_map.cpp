// The class map drawn over a tested picture, on hand-made guide maps and results.
#include "classif_config.h"
#include "dialog_derarodizir_v2.h"
#include "lanczos_resize.h"
#include "test_support.h"

#include <QComboBox>
#include <QLabel>
#include <QtTest>

#include <opencv2/imgproc.hpp>

namespace {

const cv::Scalar kRed(0, 0, 255);
const cv::Scalar kGreen(0, 255, 0);
const cv::Size kMapSize(19, 19);
// The guide-map cells of a 19 x 19 map on the 608 x 342 picture.
const double kCellX = 608.0 / 19.0;
const double kCellY = 342.0 / 19.0;

cv::Mat noisyPicture()
{
    cv::Mat picture(342, 608, CV_8UC3);
    cv::RNG rng(3);
    rng.fill(picture, cv::RNG::UNIFORM, cv::Scalar::all(20), cv::Scalar::all(236));
    return picture;
}

// Centre of a map cell in picture coordinates, for a map of mapSide x mapSide cells.
cv::Point centreOf(int col, int row, int mapSide = 19)
{
    return cv::Point(int((col + 0.5) * 608.0 / mapSide), int((row + 0.5) * 342.0 / mapSide));
}

cv::Vec3b colourMapped(int value, int colourMap)
{
    cv::Mat one(1, 1, CV_8UC1, cv::Scalar(value));
    cv::Mat colour;
    cv::applyColorMap(one, colour, colourMap);
    return colour.at<cv::Vec3b>(0, 0);
}

int pixelsOfColour(const cv::Mat& image, const cv::Scalar& colour)
{
    cv::Mat match;
    cv::inRange(image, colour, colour, match);
    return cv::countNonZero(match);
}

bool samePicture(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

} // namespace

class TestClassMap : public QObject
{
    Q_OBJECT

    // A dialog set up as a test leaves it: picture, results, guide maps and two classes.
    struct Scene
    {
        DialogDeraRodizir_v2 dialog;
        ClassifConfig config;

        Scene()
        {
            dialog.test_image = noisyPicture();
            dialog.class_names = QStringList{"red", "green"};
            dialog.class_colors = {kRed, kGreen};
            dialog.current_config = &config;
            // The library's annotation is checked on its own; most cases leave it out.
            set({{"gm_result_drawing", false}});
        }
        void set(const QJsonObject& changes)
        {
            QJsonObject state = dialog.saveState();
            for (auto it = changes.begin(); it != changes.end(); ++it)
                state[it.key()] = it.value();
            dialog.restoreState(state);
        }
        void addResult(int classIndex, float score, const cv::Mat& map)
        {
            dialog.results.push_back({classIndex, score});
            dialog.guide_maps.append(map);
        }
    };

    static cv::Mat mapWithBlock(const cv::Rect& cells, int value, cv::Size size = kMapSize)
    {
        cv::Mat map = cv::Mat::zeros(size, CV_8UC1);
        map(cells).setTo(value);
        return map;
    }

private slots:
    void noPassedResultLeavesThePictureWeightedByBeta()
    {
        Scene scene;
        scene.set({{"beta", 0.5}, {"alpha", 0.7}});
        scene.addResult(0, 0.2f, mapWithBlock({2, 2, 6, 6}, 240));
        scene.dialog.genClassMap();

        cv::Mat expected;
        scene.dialog.test_image.convertTo(expected, CV_8UC3, 0.5);
        QVERIFY(samePicture(scene.dialog.result_image, expected));
        // A guide map of a result that did not pass keeps its data.
        QVERIFY(!scene.dialog.guide_maps.at(0).empty());
    }

    void noPassedResultWithoutMaskModeTintsEverything()
    {
        Scene scene;
        scene.set({{"mask_mode", false}, {"alpha", 0.5}, {"beta", 1.0}});
        scene.addResult(0, 0.2f, mapWithBlock({2, 2, 6, 6}, 240));
        scene.dialog.genClassMap();

        const cv::Vec3b zeroColour = colourMapped(0, cv::COLORMAP_JET);
        cv::Mat tint(scene.dialog.test_image.size(), CV_8UC3, cv::Scalar(zeroColour[0], zeroColour[1], zeroColour[2]));
        cv::Mat expected;
        cv::addWeighted(scene.dialog.test_image, 1.0, tint, 0.5, 0.0, expected);
        QVERIFY(samePicture(scene.dialog.result_image, expected));
    }

    void pixelsEqualToTheThresholdStayOutside()
    {
        Scene scene;
        scene.set({{"gm_thresh", 150}, {"alpha", 1.0}, {"beta", 0.0}, {"bn", true}, {"bn_size", 2}});
        cv::Mat map = mapWithBlock({2, 2, 5, 5}, 150);
        map(cv::Rect(11, 11, 5, 5)).setTo(200);
        scene.addResult(0, 0.9f, map);
        scene.dialog.passed = {0};
        scene.dialog.genClassMap();

        const cv::Mat& result = scene.dialog.result_image;
        QCOMPARE(result.size(), scene.dialog.test_image.size());
        // Inside the block at the threshold: black, no outline anywhere near it.
        QCOMPARE(result.at<cv::Vec3b>(centreOf(4, 4)), cv::Vec3b(0, 0, 0));
        const cv::Rect equalBlock(int(2 * kCellX) - 4, int(2 * kCellY) - 4, int(5 * kCellX) + 8, int(5 * kCellY) + 8);
        QCOMPARE(pixelsOfColour(result(equalBlock), kRed), 0);
        // Inside the block above it: the colour map's colour of its value, outlined in the
        // class colour.
        QCOMPARE(result.at<cv::Vec3b>(centreOf(13, 13)), colourMapped(200, cv::COLORMAP_JET));
        QVERIFY(pixelsOfColour(result, kRed) > 100);
        // The passed map was used up; its entry stays in the list.
        QCOMPARE(scene.dialog.guide_maps.size(), 1);
        QVERIFY(scene.dialog.guide_maps.at(0).empty());
    }

    void noOverlayAndBoundariesOffGiveThePlainPicture()
    {
        Scene scene;
        scene.set({{"alpha", 0.0}, {"beta", 1.0}, {"bn", false}});
        scene.addResult(0, 0.9f, mapWithBlock({3, 3, 8, 8}, 230));
        scene.dialog.passed = {0};
        scene.dialog.genClassMap();
        QVERIFY(samePicture(scene.dialog.result_image, scene.dialog.test_image));
    }

    void noOverlayWithBoundariesAddsOnlyTheOutline()
    {
        Scene scene;
        scene.set({{"alpha", 0.0}, {"beta", 1.0}, {"bn", true}, {"bn_size", 3}});
        scene.addResult(1, 0.9f, mapWithBlock({3, 3, 8, 8}, 230));
        scene.dialog.passed = {0};
        scene.dialog.genClassMap();

        cv::Mat changed;
        cv::compare(scene.dialog.result_image.reshape(1), scene.dialog.test_image.reshape(1), changed, cv::CMP_NE);
        cv::Mat changedPixels = changed.reshape(3);
        cv::Mat anyChannel;
        cv::transform(changedPixels, anyChannel, cv::Matx13f(1, 1, 1));
        QVERIFY(cv::countNonZero(anyChannel) > 0);
        // Every changed pixel carries the class colour, and it runs along the block's border.
        cv::Mat outline;
        cv::inRange(scene.dialog.result_image, kGreen, kGreen, outline);
        cv::Mat changedButNotOutline;
        cv::Mat changedMask = anyChannel > 0;
        changedButNotOutline = changedMask & ~outline;
        QCOMPARE(cv::countNonZero(changedButNotOutline), 0);
        QCOMPARE(scene.dialog.result_image.at<cv::Vec3b>(centreOf(7, 7)), scene.dialog.test_image.at<cv::Vec3b>(centreOf(7, 7)));
    }

    void overlappingRegionsKeepTheLargerValueAndTheFirstOutlineOnTop()
    {
        Scene scene;
        scene.set({{"alpha", 1.0}, {"beta", 0.0}, {"bn", true}, {"bn_size", 4}});
        // Same region, two values: both outlines coincide, so only the one drawn last shows.
        scene.addResult(0, 0.9f, mapWithBlock({4, 4, 9, 9}, 180));
        scene.addResult(1, 0.8f, mapWithBlock({4, 4, 9, 9}, 220));
        scene.dialog.passed = {0, 1};
        scene.dialog.genClassMap();

        const cv::Mat& result = scene.dialog.result_image;
        QCOMPARE(result.at<cv::Vec3b>(centreOf(8, 8)), colourMapped(220, cv::COLORMAP_JET));
        QVERIFY(pixelsOfColour(result, kRed) > 100);
        QCOMPARE(pixelsOfColour(result, kGreen), 0);

        // Partly overlapping regions: the larger value where they meet, both outlines drawn.
        // (Finer maps, so that the cells looked at lie beyond the reach of the smooth scaling.)
        Scene apart;
        apart.set({{"alpha", 1.0}, {"beta", 0.0}, {"bn", true}, {"bn_size", 2}});
        apart.addResult(0, 0.9f, mapWithBlock({2, 2, 20, 20}, 220, {38, 38}));
        apart.addResult(1, 0.8f, mapWithBlock({12, 12, 22, 22}, 180, {38, 38}));
        apart.dialog.passed = {0, 1};
        apart.dialog.genClassMap();
        QCOMPARE(apart.dialog.result_image.at<cv::Vec3b>(centreOf(16, 16, 38)), colourMapped(220, cv::COLORMAP_JET));
        QCOMPARE(apart.dialog.result_image.at<cv::Vec3b>(centreOf(27, 27, 38)), colourMapped(180, cv::COLORMAP_JET));
        QVERIFY(pixelsOfColour(apart.dialog.result_image, kRed) > 100);
        QVERIFY(pixelsOfColour(apart.dialog.result_image, kGreen) > 100);
    }

    void chosenColourMapIsShownAndUsed()
    {
        Scene scene;
        auto* box = scene.dialog.findChild<QComboBox*>("comboBox_color_map");
        auto* label = scene.dialog.findChild<QLabel*>("label_color_map");
        QVERIFY(box && label);
        QCOMPARE(box->count(), 20);
        QCOMPARE(label->text(), QString("JET"));
        QCOMPARE(box->itemText(13), QString("MAGNA"));
        QVERIFY(!box->itemIcon(19).isNull());

        box->setCurrentIndex(19);
        QCOMPARE(label->text(), QString("TWILIGHT_SHIFTED"));
        scene.set({{"alpha", 1.0}, {"beta", 0.0}, {"bn", false}});
        scene.addResult(0, 0.9f, mapWithBlock({4, 4, 9, 9}, 200));
        scene.dialog.passed = {0};
        scene.dialog.genClassMap();
        QCOMPARE(scene.dialog.result_image.at<cv::Vec3b>(centreOf(8, 8)),
                 colourMapped(200, cv::COLORMAP_TWILIGHT_SHIFTED));
    }

    void withoutGuideMapsThePictureKeepsTheAnnotation()
    {
        Scene scene;
        scene.set({{"gm_result_drawing", true}});
        scene.dialog.results.push_back({0, 0.9f});
        scene.dialog.passed = {0};
        scene.dialog.genClassMap();

        cv::Mat expected = scene.dialog.test_image.clone();
        scene.config.draw_boxes(expected);
        QVERIFY(samePicture(scene.dialog.result_image, expected));
    }

    void annotationIsDrawnOverTheClassMap()
    {
        Scene plain;
        plain.addResult(0, 0.9f, mapWithBlock({4, 4, 9, 9}, 200));
        plain.dialog.passed = {0};
        plain.dialog.genClassMap();

        Scene annotated;
        annotated.set({{"gm_result_drawing", true}});
        annotated.addResult(0, 0.9f, mapWithBlock({4, 4, 9, 9}, 200));
        annotated.dialog.passed = {0};
        annotated.dialog.genClassMap();

        cv::Mat expected = plain.dialog.result_image.clone();
        annotated.config.draw_boxes(expected);
        QVERIFY(samePicture(annotated.dialog.result_image, expected));
    }

    void settingsReachTheConfiguration()
    {
        Scene scene;
        scene.set({{"thresh", 37},
                   {"top", 5.0},
                   {"result_drawing", false},
                   {"show_confidence", false},
                   {"rect_thickness", 7},
                   {"font_scale", 2.5},
                   {"font_thickness", 3},
                   {"txt_offset", -4},
                   {"upsampling", true}});
        ClassifConfig config;
        config.draw_roi = true;
        config.text_drawing = false;
        scene.dialog.set_up_parameter(&config);
        QCOMPARE(config.threshold, 0.37);
        QCOMPARE(config.top, 5);
        QCOMPARE(config.result_drawing, false);
        QCOMPARE(config.draw_roi, false);
        QCOMPARE(config.text_drawing, true);
        QCOMPARE(config.show_confidence, false);
        QCOMPARE(config.rect_thickness, 7);
        QCOMPARE(config.font_scale, 2.5);
        QCOMPARE(config.font_thickness, 3);
        QCOMPARE(config.txt_offset, -4);
        QCOMPARE(config.upsampling, true);
    }

    void hugeBoundaryThicknessDoesNotBreakTheDrawing()
    {
        Scene scene;
        scene.set({{"bn", true}, {"bn_size", 99999}});
        scene.addResult(0, 0.9f, mapWithBlock({4, 4, 9, 9}, 200));
        scene.dialog.passed = {0};
        scene.dialog.genClassMap();
        QCOMPARE(scene.dialog.result_image.size(), scene.dialog.test_image.size());
    }

    // The class map's own resize gives OpenCV's Lanczos pixels exactly, enlarging and shrinking,
    // on grey and colour maps, smooth and with lone peaks.
    void lanczosResizeGivesOpenCvsPixels()
    {
        cv::RNG rng(11);
        for (int i = 0; i < 400; ++i) {
            cv::Mat map(rng.uniform(1, 40), rng.uniform(1, 40), i % 2 ? CV_8UC3 : CV_8UC1, cv::Scalar::all(0));
            if (i % 4 == 0)
                map.at<uchar>(rng.uniform(0, map.rows), rng.uniform(0, map.cols)) = 255;
            else
                rng.fill(map, cv::RNG::UNIFORM, 0, 256);
            const int longest = i % 3 ? 700 : 30;
            const cv::Size size(rng.uniform(1, longest), rng.uniform(1, longest));
            cv::Mat expected;
            cv::resize(map, expected, size, 0, 0, cv::INTER_LANCZOS4);
            QVERIFY2(samePicture(LanczosResize::resize(map, size), expected),
                     qPrintable(QString("%1 x %2 to %3 x %4").arg(map.cols).arg(map.rows).arg(size.width).arg(size.height)));
        }
    }
};

QTEST_MAIN(TestClassMap)
#include "test_class_map.moc"
