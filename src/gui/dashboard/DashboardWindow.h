#pragma once

#include <QTimer>
#include <QWidget>
#include <functional>
#include <vector>

#include "gui/dashboard/LoginAutostart.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;
class QPropertyAnimation;
class QGraphicsOpacityEffect;

namespace qm {
class ClaudeUsageStore;
class UsageAggregator;
class UsageHistoryStore;
}  // namespace qm

namespace qm::gui {

class CardGrid;
class ClaudeCard;
class CorgiMascot;
class ProviderCard;
class RecentActivity;
class TopSection;

// The "dashboard" window: the header with its controls and the Claude card, one card per local
// tool, "Recent Activity", and the corgi walking along the bottom when "Mascot" is on. "Start at
// login" shows and sets the autostart entry in the user's config folder.
class DashboardWindow : public QWidget {
    Q_OBJECT
public:
    DashboardWindow(UsageAggregator* aggregator, ClaudeUsageStore* claude,
                    std::function<void(const QString&)> openWindow, QWidget* parent = nullptr);

    // The Claude card's projections come from the history's snapshots.
    void setHistory(UsageHistoryStore* history);

    // The persisted "mascotEnabled" setting (default on).
    static bool mascotSetting();
    bool mascotShown() const;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QWidget* makeHeader();
    void render();
    void setMascotEnabled(bool enabled, bool animate);
    void placeMascot();
    void showAutostart();
    void setAutostart(bool on);

    UsageAggregator* aggregator_;
    ClaudeUsageStore* claude_;
    std::function<void(const QString&)> openWindow_;
    LoginAutostart autostart_ = LoginAutostart::forThisProgram();  // before the header uses it
    QScrollArea* scroll_;
    QVBoxLayout* content_;
    QLabel* updated_ = nullptr;
    QCheckBox* mascotSwitch_ = nullptr;
    QCheckBox* autostartSwitch_ = nullptr;
    QPushButton* refresh_ = nullptr;
    TopSection* top_;
    CardGrid* grid_;
    std::vector<ProviderCard*> cards_;
    RecentActivity* recent_;
    CorgiMascot* mascot_;
    QGraphicsOpacityEffect* mascotOpacity_;
    QPropertyAnimation* mascotFade_;
    QTimer clock_;  // keeps "Updated 5m" and the relative times current while shown
};

}  // namespace qm::gui
