#pragma once

#include <QWidget>
#include <optional>
#include <vector>

#include "alerts/LimitReadings.h"

class QLabel;
class QVBoxLayout;

namespace qm::gui {

// A thin bar of how full a limit is: a track that shows in either palette, filled to the
// percent in the colour of its level (see limitLevel); grey when the level is unknown.
class LevelBar : public QWidget {
    Q_OBJECT
public:
    explicit LevelBar(QWidget* parent = nullptr);
    void setPercent(std::optional<double> percent);
    std::optional<double> percent() const { return percent_; }
    QColor fillColour() const;
    QColor trackColour() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<double> percent_;
};

// One usage limit as the cards show it: the title and the percentage, the bar, "Reset " and
// the reset time (with " · read HH:MM" when the reading is more than ten minutes old), and,
// when the recent pace fills the limit before it resets, "Full at 14:20 at this pace".
class LimitBar : public QWidget {
    Q_OBJECT
public:
    explicit LimitBar(const QString& title, QWidget* parent = nullptr);

    // `resetText` is shown as given ("-" when unknown).
    void show(double percent, const QString& resetText, std::optional<TimeMs> readAt,
              std::optional<TimeMs> projectedFullAt, TimeMs now);
    using QWidget::show;
    // A window that reset at `resetAt` after it was read: 0% and "Reset at 23:51 · new window",
    // its bar grey: nobody has read the new window yet.
    void showReset(TimeMs resetAt, TimeMs now);

    // "14:20" today, "12/09 14:20" on another day, in local time.
    static QString timeText(TimeMs at, TimeMs now);

private:
    QLabel* percent_;
    LevelBar* bar_;
    QLabel* reset_;
    QLabel* forecast_;
};

// The bars of a tool's limits in a column, one per reading in order; a window that has reset
// since it was read shows as the new one it is (see currentWindow). Hidden without any.
class LimitBars : public QWidget {
    Q_OBJECT
public:
    explicit LimitBars(QWidget* parent = nullptr);
    void show(const std::vector<LimitReading>& readings, TimeMs now);
    using QWidget::show;

    // "5h", "Week", "Week Opus".
    static QString titleOf(const LimitReading& reading);

private:
    QVBoxLayout* layout_;
    std::vector<LimitBar*> bars_;
};

}  // namespace qm::gui
