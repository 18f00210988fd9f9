#pragma once

#include <optional>

#include "core/UsageModels.h"
#include "gui/widgets/Look.h"

class QHBoxLayout;
class QLabel;
class QVBoxLayout;

namespace qm::gui {

class LimitBars;
class ToolCostLines;

// One local tool on the dashboard: login state and status badge, the plan limits the tool's
// logs report (Codex), the five-hour figures, cost, latest activity and the first warning.
class ProviderCard : public CardFrame {
    Q_OBJECT
public:
    explicit ProviderCard(QWidget* parent = nullptr);
    void show(const ProviderUsage& usage, TimeMs now);
    using CardFrame::show;
    // The tool it last showed; none before the first show().
    std::optional<ProviderKind> kind() const { return kind_; }
    // "Today" and "This month", filled from the usage index by the window.
    ToolCostLines* costLines() const { return costLines_; }

private:
    QHBoxLayout* makeHeader();
    QLabel* addMetricRow(QVBoxLayout* column, const QString& title, const QString& key);
    QLabel* addDetailRow(QVBoxLayout* column, const QString& title, const QString& key);

    StatusDot* mark_;  // the tool's colour, as its bars in the trends show it
    QLabel* name_;
    QLabel* login_;
    Pill* badge_;
    LimitBars* limits_;
    QLabel* prompts_;
    QLabel* tokens_;
    QLabel* sessions_;
    QLabel* cost_;
    ToolCostLines* costLines_;
    QLabel* latest_;
    QLabel* project_;
    QLabel* model_;
    QLabel* source_;
    QLabel* warning_;
    std::optional<ProviderKind> kind_;
};

}  // namespace qm::gui
