#pragma once

#include <QImage>
#include <QList>
#include <QTimer>
#include <QWidget>
#include <optional>

namespace qm::gui {

// Where the dog is at a moment: computed from the clock alone, so the walk goes on smoothly
// across redraws and restarts in step with the time.
struct MascotPose {
    double x = 0;  // from the leading edge
    bool movingRight = true;
    int frame = 0;  // index into the frames in use
    bool operator==(const MascotPose&) const = default;
};

// `seconds` since 2001-01-01 UTC; ten frames a second, one walk there and back in 12 seconds.
MascotPose mascotPose(double seconds, double width, int frameCount);

namespace CorgiMascotAssets {
// ":/<name>.png", then under "dog/", then "Resources/dog/"; nothing when none decodes.
std::optional<QImage> load(const QString& name);
// prefix1 ... prefixN; frames that do not load are left out.
QList<QImage> load(const QString& prefix, int count);
}  // namespace CorgiMascotAssets

// The dog that trots along the bottom of the dashboard above a faint ground line. Redraws at
// most ten times a second and only while it is visible.
class CorgiMascot : public QWidget {
    Q_OBJECT
public:
    static constexpr double kSpriteWidth = 150;
    static constexpr double kSpriteHeight = 110;

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

    QList<QImage> runFrames_;
    QList<QImage> sittingFrames_;
    QTimer timer_;
};

}  // namespace qm::gui
