#include "gui/widgets/LimitBar.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <cmath>

#include "gui/UsageText.h"
#include "gui/widgets/Look.h"

namespace qm::gui {

LevelBar::LevelBar(QWidget* parent) : QWidget(parent) {
    setFixedHeight(8);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void LevelBar::setPercent(std::optional<double> percent) {
    if (percent && std::isnan(*percent)) percent.reset();
    if (percent == percent_) return;
    percent_ = percent;
    update();
}

QColor LevelBar::fillColour() const {
    return Look::levelColour(limitLevel(percent_));
}

QColor LevelBar::trackColour() const {
    // The text colour at low opacity: dark on a light window, light on a dark one, so the
    // empty part always shows.
    QColor track = palette().color(QPalette::WindowText);
    track.setAlphaF(0.18F);
    return track;
}

QSize LevelBar::sizeHint() const {
    return {120, 8};
}

void LevelBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    const QRectF all = QRectF(rect());
    const double radius = all.height() / 2;
    p.setBrush(trackColour());
    p.drawRoundedRect(all, radius, radius);
    const double fraction = percent_ ? UsageText::clampedPercent(*percent_) / 100.0 : 0.0;
    if (fraction <= 0) return;
    // The fill is the track's shape cut at the percent, so a small fill keeps round ends.
    QPainterPath track;
    track.addRoundedRect(all, radius, radius);
    QPainterPath shown;
    shown.addRect(QRectF(all.left(), all.top(), all.width() * fraction, all.height()));
    p.setBrush(fillColour());
    p.drawPath(track.intersected(shown));
}

LimitBar::LimitBar(const QString& title, QWidget* parent)
    : QWidget(parent),
      percent_(new QLabel(this)),
      bar_(new LevelBar(this)),
      reset_(new QLabel(this)),
      forecast_(new QLabel(this)) {
    setObjectName(QStringLiteral("bar_") + title);
    setFont(Look::callout());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(5);
    auto* top = new QHBoxLayout;
    auto* name = new QLabel(title, this);
    Look::makeSecondary(name);
    percent_->setObjectName(QStringLiteral("percent"));
    percent_->setFont(QFont());
    top->addWidget(name);
    top->addStretch(1);
    top->addWidget(percent_);
    bar_->setObjectName(QStringLiteral("level"));
    reset_->setObjectName(QStringLiteral("reset"));
    forecast_->setObjectName(QStringLiteral("forecast"));
    for (QLabel* caption : {reset_, forecast_}) {
        caption->setFont(Look::caption());
        Look::makeSecondary(caption);
    }
    layout->addLayout(top);
    layout->addWidget(bar_);
    layout->addWidget(reset_);
    layout->addWidget(forecast_);
}

QString LimitBar::timeText(TimeMs at, TimeMs now) {
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(at);
    const bool today = when.date() == QDateTime::fromMSecsSinceEpoch(now).date();
    return when.toString(today ? QStringLiteral("HH:mm") : QStringLiteral("MM/dd HH:mm"));
}

void LimitBar::show(double percent, const QString& resetText, std::optional<TimeMs> readAt,
                    std::optional<TimeMs> projectedFullAt, TimeMs now) {
    percent_->setText(UsageText::percent(percent));
    bar_->setPercent(percent);
    QString reset = tr("Reset %1").arg(resetText);
    if (readAt && now - *readAt > kStaleReadingMs)
        reset += tr(" · read %1").arg(timeText(*readAt, now));
    reset_->setText(reset);
    forecast_->setVisible(projectedFullAt.has_value());
    if (projectedFullAt) {
        forecast_->setText(tr("Full at %1 at this pace").arg(timeText(*projectedFullAt, now)));
    }
}

void LimitBar::showReset(TimeMs resetAt, TimeMs now) {
    percent_->setText(UsageText::percent(0));
    bar_->setPercent(std::nullopt);
    reset_->setText(tr("Reset at %1 · new window").arg(timeText(resetAt, now)));
    forecast_->setVisible(false);
}

LimitBars::LimitBars(QWidget* parent) : QWidget(parent), layout_(new QVBoxLayout(this)) {
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(10);
    setVisible(false);
}

QString LimitBars::titleOf(const LimitReading& reading) {
    const QString window = reading.window();
    if (window == QLatin1String("fiveHour")) return QStringLiteral("5h");
    if (window == QLatin1String("weekly")) return tr("Week");
    if (window.startsWith(QLatin1String("weekly"))) return window.mid(6);
    return window;
}

void LimitBars::show(const std::vector<LimitReading>& all, TimeMs now) {
    const std::vector<LimitReading> readings = currentWindows(all, now);
    // The windows rarely change: rebuild only when they do.
    bool same = bars_.size() == readings.size();
    for (std::size_t i = 0; same && i < readings.size(); ++i)
        same = bars_[i]->objectName() == QStringLiteral("bar_") + titleOf(readings[i]);
    if (!same) {
        for (LimitBar* bar : bars_) delete bar;
        bars_.clear();
        for (const LimitReading& reading : readings) {
            bars_.push_back(new LimitBar(titleOf(reading), this));
            layout_->addWidget(bars_.back());
        }
    }
    for (std::size_t i = 0; i < readings.size(); ++i) {
        const LimitReading& r = readings[i];
        if (r.freshSince) {
            bars_[i]->showReset(*r.freshSince, now);
            continue;
        }
        // As the Claude card writes its reset times.
        const QString reset = r.resetsAt ? QDateTime::fromMSecsSinceEpoch(*r.resetsAt)
                                               .toString(QStringLiteral("MM/dd HH:mm"))
                                         : QStringLiteral("-");
        bars_[i]->show(r.percent, reset, r.readAt, r.projectedFullAt, now);
    }
    setVisible(!readings.empty());
}

}  // namespace qm::gui
