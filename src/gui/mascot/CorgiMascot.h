#pragma once

#include <QImage>
#include <QList>
#include <QTimer>
#include <QWidget>
#include <optional>

namespace qm::gui {

// The sprites' size, as drawn: 30 by 22 cells of 5 pixels.
inline constexpr double kMascotSpriteWidth = 150;
inline constexpr double kMascotSpriteHeight = 110;

// Where the dog is at a moment: computed from the clock alone, so the walk goes on smoothly
// across redraws and restarts in step with the time.
struct MascotPose {
    double x = 0;  // from the leading edge
    bool movingRight = true;
    int frame = 0;  // index into the frames in use
    bool operator==(const MascotPose&) const = default;
};

// `seconds` since 2001-01-01 UTC; ten frames a second, one walk there and back in 12 seconds
// across `width`, for a dog `spriteWidth` wide.
MascotPose mascotPose(double seconds, double width, int frameCount,
                      double spriteWidth = kMascotSpriteWidth);

namespace CorgiMascotAssets {
// Pixel art at `size` device pixels: whole-cell copies to a multiple of the source at least that
// large, then smoothed down, so the cells stay sharp at any size.
QImage scaled(const QImage& image, const QSize& size);
// ":/<name>.png", then under "dog/", then "Resources/dog/"; nothing when none decodes.
std::optional<QImage> load(const QString& name);
// prefix1 ... prefixN; frames that do not load are left out.
QList<QImage> load(const QString& prefix, int count);
}  // namespace CorgiMascotAssets

// The dog that trots along the bottom of the dashboard above a faint ground line, as tall as
// the strip it is given. Redraws at most ten times a second and only while it is visible; the
// frames are scaled once per size, for the screen's pixels.
class CorgiMascot : public QWidget {
    Q_OBJECT
public:
    static constexpr double kSpriteWidth = kMascotSpriteWidth;
    static constexpr double kSpriteHeight = kMascotSpriteHeight;
    // The strip's height in a window `windowHeight` tall: a share of it, so a small screen
    // keeps room for the figures, between a size where the dog is still a dog and the
    // sprites' own.
    static constexpr double kHeightShare = 0.12;
    static constexpr int kMinimumHeight = 40;
    static constexpr int kMaximumHeight = 112;
    static int heightFor(int windowHeight);

    CorgiMascot(QList<QImage> runFrames, QList<QImage> sittingFrames, QWidget* parent = nullptr);

    // The drawing at an explicit time, for the animation and for tests.
    void paintAt(QPainter& painter, double seconds) const;
    bool isAnimating() const { return timer_.isActive(); }
    static double secondsNow();

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    const QList<QImage>& frames() const;
    // The frames at `size` logical pixels for a device of `ratio`, made when either changes.
    const QList<QImage>& framesAt(const QSizeF& size, qreal ratio) const;

    QList<QImage> runFrames_;
    QList<QImage> sittingFrames_;
    QTimer timer_;
    mutable QList<QImage> scaledFrames_;
    mutable QSize scaledSize_;
};

}  // namespace qm::gui
