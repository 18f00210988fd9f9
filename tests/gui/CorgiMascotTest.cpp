#include <gtest/gtest.h>

#include <QPainter>

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

QImage draw(CorgiMascot& mascot, double seconds) {
    QImage image(mascot.size(), QImage::Format_ARGB32);
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
