// Random clutter for the garbage class.
#include "random_img.h"

#include <opencv2/imgproc.hpp>

#include <QtTest>

#include <functional>

namespace {

using Operation = int (RandomImg::*)(cv::Mat, char*, cv::RNG);

cv::Mat blackCanvas(const RandomImg& painter)
{
    return cv::Mat::zeros(painter.windowHeight, painter.windowWidth, CV_8UC3);
}

bool identical(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

char windowName[] = "rng_img";

} // namespace

Q_DECLARE_METATYPE(Operation)

class TestRandomImg : public QObject
{
    Q_OBJECT

    static void addOperations()
    {
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<bool>("drawsIntoArgument");
        QTest::newRow("lines") << &RandomImg::Drawing_Random_Lines << true;
        QTest::newRow("rectangles") << &RandomImg::Drawing_Random_Rectangles << true;
        QTest::newRow("ellipses") << &RandomImg::Drawing_Random_Ellipses << true;
        QTest::newRow("polylines") << &RandomImg::Drawing_Random_Polylines << true;
        QTest::newRow("filled polygons") << &RandomImg::Drawing_Random_Filled_Polygons << true;
        QTest::newRow("circles") << &RandomImg::Drawing_Random_Circles << true;
        QTest::newRow("text") << &RandomImg::Displaying_Random_Text << true;
        QTest::newRow("big end") << &RandomImg::Displaying_Big_End << false;
    }

private slots:
    void sameGeneratorGivesSameImageAndStaysUnchanged_data() { addOperations(); }
    void sameGeneratorGivesSameImageAndStaysUnchanged()
    {
        QFETCH(Operation, operation);
        QFETCH(bool, drawsIntoArgument);
        RandomImg painter;
        cv::RNG rng(0x12345678);
        const uint64 before = rng.state;

        cv::Mat first = blackCanvas(painter);
        cv::Mat second = blackCanvas(painter);
        QCOMPARE((painter.*operation)(first, windowName, rng), 0);
        QCOMPARE((painter.*operation)(second, windowName, rng), 0);

        QCOMPARE(rng.state, before);
        QVERIFY(identical(first, second));
        // The drawing lands in the caller's pixels (the big end draws into a new image only).
        QCOMPARE(cv::countNonZero(first.reshape(1)) > 0, drawsIntoArgument);

        cv::Mat other = blackCanvas(painter);
        (painter.*operation)(other, windowName, cv::RNG(0x9abcdef));
        QCOMPARE(identical(first, other), !drawsIntoArgument);
    }

    // Replays the draw order (corners x, y, x, y, then the colour) with one thickness drawn
    // before the loop: each call's image must be exactly that, over seeds that give outlines
    // and fills alike.
    void rectanglesOfOneCallShareOneThickness()
    {
        RandomImg painter;
        bool sawFilled = false;
        bool sawOutlined = false;
        for (quint64 seed = 1; seed <= 24; ++seed) {
            cv::Mat drawn = blackCanvas(painter);
            painter.Drawing_Random_Rectangles(drawn, windowName, cv::RNG(seed));

            cv::RNG replay(seed);
            const int thickness = std::max(replay.uniform(-3, 10), -1);
            (thickness < 0 ? sawFilled : sawOutlined) = true;
            cv::Mat expected = blackCanvas(painter);
            for (int i = 0; i < painter.count; ++i) {
                const int x1 = replay.uniform(painter.xMin, painter.xMax);
                const int y1 = replay.uniform(painter.yMin, painter.yMax);
                const int x2 = replay.uniform(painter.xMin, painter.xMax);
                const int y2 = replay.uniform(painter.yMin, painter.yMax);
                const unsigned colour = unsigned(replay);
                cv::rectangle(expected, cv::Point(x1, y1), cv::Point(x2, y2),
                              cv::Scalar(colour & 255, (colour >> 8) & 255, (colour >> 16) & 255), thickness,
                              cv::LINE_8);
            }
            QVERIFY2(identical(drawn, expected), qPrintable(QString("seed %1").arg(seed)));
        }
        QVERIFY(sawFilled);
        QVERIFY(sawOutlined);
    }

    void garbageImageIsAColourfulCanvas()
    {
        RandomImg painter;
        const cv::Mat image = painter.makeGarbageImage();
        QCOMPARE(image.rows, 256);
        QCOMPARE(image.cols, 256);
        QCOMPARE(image.type(), CV_8UC3);
        // A hundred lines and a hundred rectangles always land on it.
        QVERIFY(cv::countNonZero(image.reshape(1)) > image.total());
        // Seeded with the tick count: two images in a row differ.
        QVERIFY(!identical(image, painter.makeGarbageImage()));
    }
};

QTEST_GUILESS_MAIN(TestRandomImg)
#include "test_random_img.moc"
