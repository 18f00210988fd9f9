#include "gui/mascot/CorgiMascot.h"

#include <QDateTime>
#include <QFile>
#include <QPainter>
#include <cmath>

#include "core/Clock.h"

namespace qm::gui {

namespace {
// Seconds from the Unix epoch to 2001-01-01 UTC, the clock the walk is phased on.
constexpr double kReferenceOffset = 978307200.0;
constexpr double kCycleSeconds = 12.0;
}  // namespace

MascotPose mascotPose(double seconds, double width, int frameCount) {
    MascotPose pose;
    if (frameCount > 0) {
        const auto tick = static_cast<long long>(std::trunc(seconds * 10));
        pose.frame = static_cast<int>(((tick % frameCount) + frameCount) % frameCount);
    }
    double phase = std::fmod(seconds, kCycleSeconds) / kCycleSeconds;
    if (phase < 0) phase += 1;
    pose.movingRight = phase < 0.5;
    const double travel = pose.movingRight ? phase : 1 - phase;
    pose.x = 2 * travel * std::max(width - CorgiMascot::kSpriteWidth, 0.0);
    return pose;
}

namespace CorgiMascotAssets {

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

void CorgiMascot::paintAt(QPainter& painter, double seconds) const {
    const double w = width();
    QColor ground = palette().color(QPalette::WindowText);
    ground.setAlphaF(0.08f);
    painter.fillRect(QRectF(0, height() - 1, w, 1), ground);

    const QList<QImage>& images = frames();
    if (images.isEmpty()) return;
    const MascotPose pose = mascotPose(seconds, w, static_cast<int>(images.size()));
    const QImage& image = images[pose.frame];
    QSizeF size = QSizeF(image.size()).scaled(kSpriteWidth, kSpriteHeight, Qt::KeepAspectRatio);
    const QRectF target(pose.x + (kSpriteWidth - size.width()) / 2, height() - 1 - size.height(),
                        size.width(), size.height());
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (!pose.movingRight) {
        // Mirror about the sprite's own centre.
        const double centre = target.center().x();
        painter.translate(centre, 0);
        painter.scale(-1, 1);
        painter.translate(-centre, 0);
    }
    painter.drawImage(target, image);
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
