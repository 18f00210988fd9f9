#include <gtest/gtest.h>

#include <QPainter>
#include <QSet>

#include "DesktopFixture.h"
#include "gui/dashboard/DashboardWindow.h"
#include "gui/mascot/CorgiMascot.h"

namespace qm::gui {
namespace {

TEST(CorgiMascotTest, WalksThereAndBackEveryTwelveSecondsAtTenFramesASecond) {
    const double w = 750;  // 600 points of travel
    const MascotPose start = mascotPose(1200.0, w, 4);
    EXPECT_DOUBLE_EQ(start.x, 0);
    EXPECT_TRUE(start.movingRight);

    const MascotPose out = mascotPose(1203.0, w, 4);
    EXPECT_DOUBLE_EQ(out.x, 300);
    EXPECT_TRUE(out.movingRight);
    const MascotPose back = mascotPose(1209.0, w, 4);
    EXPECT_DOUBLE_EQ(back.x, 300);
    EXPECT_FALSE(back.movingRight);

    EXPECT_EQ(mascotPose(1200.0, w, 4).frame, 0);
    EXPECT_EQ(mascotPose(1200.15, w, 4).frame, 1);
    EXPECT_EQ(mascotPose(1200.35, w, 3).frame, 0);
    EXPECT_EQ(mascotPose(1200.5, w, 0).frame, 0);
    // Before the reference date the phase still lands in the cycle.
    EXPECT_GE(mascotPose(-3.0, w, 4).frame, 0);
    EXPECT_DOUBLE_EQ(mascotPose(-3.0, w, 4).x, 300);
    EXPECT_FALSE(mascotPose(-3.0, w, 4).movingRight);

    // A window no wider than the dog keeps it at the edge, still animated and turning.
    const MascotPose narrow = mascotPose(1209.0, 150, 4);
    EXPECT_DOUBLE_EQ(narrow.x, 0);
    EXPECT_FALSE(narrow.movingRight);
    EXPECT_EQ(mascotPose(1209.35, 150, 4).frame, 1);
}

TEST(CorgiMascotTest, LoadsTheFramesThatExistAndSkipsTheRest) {
    EXPECT_EQ(CorgiMascotAssets::load(QStringLiteral("corgi_run"), 4).size(), 4);
    EXPECT_EQ(CorgiMascotAssets::load(QStringLiteral("corgi_sitting"), 4).size(), 4);
    // Frame 5 does not exist: the list is shorter, not padded.
    EXPECT_EQ(CorgiMascotAssets::load(QStringLiteral("corgi_run"), 5).size(), 4);
    EXPECT_TRUE(CorgiMascotAssets::load(QStringLiteral("no_such_dog"), 2).isEmpty());
    EXPECT_FALSE(CorgiMascotAssets::load(QStringLiteral("corgi_run0")));
}

int opaquePixels(const QImage& image) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) n += qAlpha(image.pixel(x, y)) > 200;
    }
    return n;
}

QImage draw(CorgiMascot& mascot, double seconds, qreal ratio = 1) {
    QImage image(mascot.size() * ratio, QImage::Format_ARGB32);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    QPainter p(&image);
    mascot.paintAt(p, seconds);
    return image;
}

TEST(CorgiMascotTest, DrawsTheGroundAloneWithoutFramesAndFallsBackToSitting) {
    CorgiMascot none({}, {});
    none.resize(400, 112);
    EXPECT_EQ(opaquePixels(draw(none, 1200)), 0);  // only the faint ground line

    CorgiMascot sitting({}, CorgiMascotAssets::load(QStringLiteral("corgi_sitting"), 4));
    sitting.resize(400, 112);
    const QImage image = draw(sitting, 1200);
    EXPECT_GT(opaquePixels(image), 1000);
    // Moving left the sprite is mirrored, so a different half of it is coloured.
    EXPECT_NE(draw(sitting, 1200 + 11.9), image);
}

QSet<QRgb> opaqueColours(const QImage& image, int rows) {
    QSet<QRgb> colours;
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) == 255) colours.insert(image.pixel(x, y));
        }
    }
    return colours;
}

TEST(CorgiMascotTest, TheDogIsDrawnForTheScreensPixelsWithItsCellsSharp) {
    const QList<QImage> frames = CorgiMascotAssets::load(QStringLiteral("corgi_sitting"), 4);
    ASSERT_FALSE(frames.isEmpty());
    QSet<QRgb> artwork;
    for (const QImage& frame : frames) artwork += opaqueColours(frame, frame.height());
    // 44 points tall at scale 2: four screen pixels to a cell of the 22-cell drawing, each a
    // copy of the artwork's colour rather than a blend of two.
    CorgiMascot mascot({}, frames);
    mascot.resize(400, 46);
    const QImage image = draw(mascot, 1200, 2);
    const QSet<QRgb> drawn = opaqueColours(image, image.height() - 2);  // above the ground
    EXPECT_GT(drawn.size(), 3);
    EXPECT_TRUE(artwork.contains(drawn)) << "blended colours at scale 2";
    // Whole copies of each cell when the size is a multiple of the drawing's.
    const QImage twice = CorgiMascotAssets::scaled(frames[0], QSize(60, 44));
    EXPECT_EQ(twice.pixel(1, 1), twice.pixel(0, 0));
    EXPECT_EQ(CorgiMascotAssets::scaled(frames[0], frames[0].size()), frames[0]);
}

class MascotOnDashboardTest : public test::DesktopFixture {};

TEST_F(MascotOnDashboardTest, TheDogFollowsTheWindowsHeight) {
    DashboardWindow window(&aggregator, &claude, &preferences, [](const QString&) {});
    auto* mascot = window.findChild<CorgiMascot*>();
    ASSERT_TRUE(mascot);
    // A 1366 x 768 laptop's window, then a tall one on a big screen.
    for (const QSize size : {QSize(1366, 700), QSize(1100, 1400)}) {
        window.resize(size);
        window.show();
        test::layOut(&window);
        EXPECT_EQ(mascot->height(), CorgiMascot::heightFor(window.height()));
        EXPECT_LE(mascot->height(), window.height() * 0.13);
        EXPECT_EQ(mascot->geometry().bottom(), window.height() - 1);
    }
    test::saveScreenshot(&window, QStringLiteral("dashboard-mascot-tall"));
}

TEST(CorgiMascotTest, AnimatesOnlyWhileVisible) {
    QWidget window;
    auto* mascot =
        new CorgiMascot(CorgiMascotAssets::load(QStringLiteral("corgi_run"), 4), {}, &window);
    EXPECT_FALSE(mascot->isAnimating());
    window.show();
    EXPECT_TRUE(mascot->isAnimating());
    window.hide();
    EXPECT_FALSE(mascot->isAnimating());
}

}  // namespace
}  // namespace qm::gui
