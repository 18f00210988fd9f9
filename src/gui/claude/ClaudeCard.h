#pragma once

#include <functional>

#include "gui/widgets/Look.h"

class QLabel;
class QPushButton;
class QToolButton;
class QVBoxLayout;
class QStackedWidget;

namespace qm {
class ClaudeUsageStore;
}

namespace qm::gui {

// The Claude card at the top of the dashboard: connection state, then the five-hour, weekly
// and per-model bars with their reset times, and the design, routine and extra-usage rows when
// the site reports them. Without limits it offers "Claude Login".
class ClaudeCard : public CardFrame {
    Q_OBJECT
public:
    ClaudeCard(ClaudeUsageStore* store, std::function<void(const QString&)> openWindow,
               QWidget* parent = nullptr);

private:
    void render();
    void addBar(const QString& title, double percent, const std::optional<QString>& resetAt);
    void addTextRow(const QString& title, const QString& value, const QString& detail);
    void clearFigures();

    ClaudeUsageStore* store_;
    std::function<void(const QString&)> openWindow_;
    QLabel* status_;
    QToolButton* refresh_;
    Pill* pill_;
    QStackedWidget* body_;
    QWidget* figures_;
    QVBoxLayout* figuresLayout_;
    QLabel* emptyStatus_;
};

}  // namespace qm::gui
