#include "gui/mascot/CorgiMascot.h"

#include <QDateTime>
#include <QFile>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "core/Clock.h"

namespace qm::gui {

namespace {
// Seconds from the Unix epoch to 2001-01-01 UTC, the clock the walk is phased on.
constexpr double kReferenceOffset = 978307200.0;
constexpr double kCycleSeconds = 12.0;
}  // namespace

MascotPose mascotPose(double seconds, double width, int frameCount, double spriteWidth) {
    MascotPose pose;
    if (frameCount > 0) {
        const auto tick = static_cast<long long>(std::trunc(seconds * 10));
        pose.frame = static_cast<int>(((tick % frameCount) + frameCount) % frameCount);
    }
    double phase = std::fmod(seconds, kCycleSeconds) / kCycleSeconds;
    if (phase < 0) phase += 1;
    pose.movingRight = phase < 0.5;
    const double travel = pose.movingRight ? phase : 1 - phase;
    pose.x = 2 * travel * std::max(width - spriteWidth, 0.0);
    return pose;
}

namespace CorgiMascotAssets {

namespace {

// The side of the square cells the picture is drawn in: the largest of a few sizes for which
// every cell is one colour; 1 for a picture that is not pixel art.
int cellSide(const QImage& image) {
    const QImage rgba = image.convertToFormat(QImage::Format_ARGB32);
    for (int side = 8; side >= 2; --side) {
        if (rgba.width() % side != 0 || rgba.height() % side != 0) continue;
        bool uniform = true;
        for (int y = 0; y < rgba.height() && uniform; ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(rgba.constScanLine(y));
            const auto* top = reinterpret_cast<const QRgb*>(rgba.constScanLine(y - y % side));
            for (int x = 0; x < rgba.width() && uniform; ++x)
                uniform = line[x] == top[x - x % side];
        }
        if (uniform) return side;
    }
    return 1;
}

}  // namespace

QImage scaled(const QImage& image, const QSize& size) {
    if (image.isNull() || size.isEmpty()) return {};
    if (image.size() == size) return image;
    const int side = cellSide(image);
    const QImage cells =
        side > 1 ? image.scaled(image.size() / side, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                 : image;
    const int whole = std::max({1, (size.width() + cells.width() - 1) / cells.width(),
                                (size.height() + cells.height() - 1) / cells.height()});
    const QImage sharp =
        cells.scaled(cells.size() * whole, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    if (sharp.size() == size) return sharp;
    return sharp.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

std::optional<QImage> load(const QString& name) {
    for (const char* folder : {"", "dog/", "Resources/dog/"}) {
        const QString path =
            QStringLiteral(":/") + QLatin1String(folder) + name + QStringLiteral(".png");
        if (!QFile::exists(path)) continue;
        QImage image(path);
        if (!image.isNull()) return image;
    }
    return std::nullopt;
}

QList<QImage> load(const QString& prefix, int count) {
    QList<QImage> frames;
    for (int n = 1; n <= count; ++n) {
        if (auto image = load(prefix + QString::number(n))) frames << *image;
    }
    return frames;
}

}  // namespace CorgiMascotAssets

CorgiMascot::CorgiMascot(QList<QImage> runFrames, QList<QImage> sittingFrames, QWidget* parent)
    : QWidget(parent), runFrames_(std::move(runFrames)), sittingFrames_(std::move(sittingFrames)) {
    setObjectName(QStringLiteral("mascot"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    timer_.setInterval(100);
    timer_.setTimerType(Qt::CoarseTimer);
    connect(&timer_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

const QList<QImage>& CorgiMascot::frames() const {
    return runFrames_.isEmpty() ? sittingFrames_ : runFrames_;
}

double CorgiMascot::secondsNow() {
    return systemNow() / 1000.0 - kReferenceOffset;
}

int CorgiMascot::heightFor(int windowHeight) {
    return std::clamp(static_cast<int>(std::lround(windowHeight * kHeightShare)), kMinimumHeight,
                      kMaximumHeight);
}

const QList<QImage>& CorgiMascot::framesAt(const QSizeF& size, qreal ratio) const {
    const QSize pixels = (size * ratio).toSize();
    if (pixels == scaledSize_) return scaledFrames_;
    scaledSize_ = pixels;
    scaledFrames_.clear();
    for (const QImage& image : frames()) {
        QImage frame = CorgiMascotAssets::scaled(image, pixels);
        frame.setDevicePixelRatio(ratio);
        scaledFrames_ << frame;
    }
    return scaledFrames_;
}

void CorgiMascot::paintAt(QPainter& painter, double seconds) const {
    const double w = width();
    QColor ground = palette().color(QPalette::WindowText);
    ground.setAlphaF(0.08f);
    painter.fillRect(QRectF(0, height() - 1, w, 1), ground);

    if (frames().isEmpty()) return;
    // As tall as the strip above the ground line, never taller than drawn.
    const double spriteHeight = std::clamp(height() - 2.0, 1.0, kSpriteHeight);
    const QSizeF sprite(std::round(spriteHeight * kSpriteWidth / kSpriteHeight), spriteHeight);
    const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QList<QImage>& images = framesAt(sprite, ratio);
    const MascotPose pose = mascotPose(seconds, w, static_cast<int>(images.size()), sprite.width());
    // On whole pixels of the screen, so the cells are copied, not blended.
    const QPointF at(std::round(pose.x * ratio) / ratio,
                     std::round((height() - 1 - sprite.height()) * ratio) / ratio);
    painter.save();
    if (!pose.movingRight) {
        // Mirror about the sprite's own centre.
        const double centre = at.x() + sprite.width() / 2;
        painter.translate(centre, 0);
        painter.scale(-1, 1);
        painter.translate(-centre, 0);
    }
    painter.drawImage(at, images[pose.frame]);
    painter.restore();
}

void CorgiMascot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintAt(painter, secondsNow());
}

void CorgiMascot::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    timer_.start();
}

void CorgiMascot::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    timer_.stop();
}

}  // namespace qm::gui
