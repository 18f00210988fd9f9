#pragma once

#include <QTimer>
#include <QWidget>
#include <functional>
#include <vector>

#include "core/UsageModels.h"
#include "gui/dashboard/LoginAutostart.h"

class QCheckBox;
class QLabel;
class QMenu;
class QPushButton;
class QScrollArea;
class QVBoxLayout;
class QPropertyAnimation;
class QGraphicsOpacityEffect;

namespace qm {
class ClaudeLimitReadingStore;
class ClaudeUsageStore;
class Preferences;
class PriceUpdateStore;
class UsageAggregator;
class UsageHistoryStore;
}  // namespace qm

namespace qm::ledger {
class LocalUsageStore;
}
namespace qm::hosts {
class RemoteHostStore;
}

namespace qm::gui {

class CardGrid;
class ClaudeCard;
class CorgiMascot;
class ElidedLabel;
class ProviderCard;
class RecentActivity;
class TopSection;

// The "dashboard" window: the header (title, last refresh, Trends, Accounts, Refresh and the
// settings menu) beside the Claude card, one card per local tool shown (isListed) and its line
// in "Recent Activity", and, when "Mascot" is on, the corgi walking in a strip of its own below
// the scrolling cards. "Start at login" shows and sets the autostart entry in the user's config
// folder.
class DashboardWindow : public QWidget {
    Q_OBJECT
public:
    DashboardWindow(UsageAggregator* aggregator, ClaudeUsageStore* claude, Preferences* preferences,
                    std::function<void(const QString&)> openWindow, QWidget* parent = nullptr);

    // The usage index behind the cards' "Today" and "This month" lines and the status line's
    // indexing progress; without it those lines show a dash.
    void setLocalUsage(ledger::LocalUsageStore* store);
    // The other machines, added into the cards' cost lines with a breakdown in their tool tip.
    void setRemoteHosts(hosts::RemoteHostStore* store);
    // The Claude card's projections come from the history's snapshots.
    // The limits Claude Code hands over, for the Claude card.
    void setClaudeReadings(ClaudeLimitReadingStore* readings);
    void setHistory(UsageHistoryStore* history);
    // The price entries in the settings menu, and the last update's outcome under the status
    // line.
    void setPrices(PriceUpdateStore* prices);

    bool mascotShown() const;
    // The settings menu, for entries that other parts add (prices).
    QMenu* menu() const { return menu_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QWidget* makeHeader();
    void render();
    void showPriceOutcome();
    void keepOneCardPerTool(const std::vector<ProviderUsage>& providers);
    void setMascotEnabled(bool enabled, bool animate);
    void showAutostart();
    void setAutostart(bool on);

    UsageAggregator* aggregator_;
    ClaudeUsageStore* claude_;
    Preferences* preferences_;
    ledger::LocalUsageStore* localUsage_ = nullptr;
    hosts::RemoteHostStore* remoteHosts_ = nullptr;
    PriceUpdateStore* prices_ = nullptr;
    std::function<void(const QString&)> openWindow_;
    LoginAutostart autostart_ = LoginAutostart::forThisProgram();  // before the header uses it
    QScrollArea* scroll_;
    QVBoxLayout* content_;
    QLabel* updated_ = nullptr;
    ElidedLabel* priceOutcome_ = nullptr;
    QCheckBox* mascotSwitch_ = nullptr;
    QCheckBox* autostartSwitch_ = nullptr;
    QPushButton* refresh_ = nullptr;
    QMenu* menu_ = nullptr;
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
