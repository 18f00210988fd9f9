#pragma once

#include <vector>

#include "core/UsageModels.h"
#include "gui/widgets/Look.h"

class QLabel;
class QVBoxLayout;

namespace qm::gui {

// "Recent Activity": per tool its level, its latest task and how long ago it ran.
class RecentActivity : public CardFrame {
    Q_OBJECT
public:
    explicit RecentActivity(QWidget* parent = nullptr);
    void show(const std::vector<ProviderUsage>& providers, TimeMs now);
    using CardFrame::show;

private:
    struct Row {
        QWidget* widget;
        StatusDot* dot;
        QLabel* name;
        QLabel* task;
        QLabel* when;
    };
    Row addRow();

    QVBoxLayout* layout_;
    std::vector<Row> rows_;
};

}  // namespace qm::gui
