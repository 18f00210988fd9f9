#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace qm {
class UsageAggregator;
}

namespace qm::gui {

// The "dashboard" window: the title line and one card per local tool.
class DashboardWindow : public QWidget {
    Q_OBJECT
public:
    explicit DashboardWindow(UsageAggregator* aggregator, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void render();

    UsageAggregator* aggregator_;
    QLabel* title_;
    QLabel* cards_;
    QPushButton* refresh_;
};

}  // namespace qm::gui
