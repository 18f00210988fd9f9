#include "gui/dashboard/DashboardWindow.h"

#include <QCheckBox>
#include <QCoroCore>
#include <QDateTime>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollArea>
#include <QShortcut>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>

#include "claude/ClaudeUsageStore.h"
#include "core/ClaudeCodeSettings.h"
#include "core/Clock.h"
#include "core/Preferences.h"
#include "gui/AppStores.h"
#include "gui/UsageText.h"
#include "gui/claude/ClaudeCard.h"
#include "gui/dashboard/BackgroundOptions.h"
#include "gui/dashboard/CardGrid.h"
#include "gui/dashboard/PriceActions.h"
#include "gui/dashboard/ProviderCard.h"
#include "gui/dashboard/RecentActivity.h"
#include "gui/dashboard/SettingsMenu.h"
#include "gui/dashboard/StatusLineSwitch.h"
#include "gui/dashboard/ToolCostLines.h"
#include "gui/dashboard/TopSection.h"
#include "gui/mascot/CorgiMascot.h"
#include "gui/widgets/ElidedLabel.h"
#include "gui/widgets/Look.h"
#include "gui/widgets/Symbols.h"
#include "gui/widgets/WindowBehaviour.h"
#include "hosts/RemoteHostStore.h"
#include "ledger/LocalUsageStore.h"
#include "ledger/UsageAggregator.h"
#include "providers/PriceUpdateStore.h"

namespace qm::gui {

namespace {
constexpr int kPadding = 20;
}  // namespace

DashboardWindow::DashboardWindow(UsageAggregator* aggregator, ClaudeUsageStore* claude,
                                 Preferences* preferences,
                                 std::function<void(const QString&)> openWindow, QWidget* parent)
    : QWidget(parent),
      aggregator_(aggregator),
      claude_(claude),
      preferences_(preferences),
      openWindow_(std::move(openWindow)),
      scroll_(new QScrollArea(this)),
      content_(new QVBoxLayout),
      top_(new TopSection(makeHeader(), new ClaudeCard(claude, aggregator, openWindow_), nullptr)),
      grid_(new CardGrid),
      recent_(new RecentActivity),
      mascot_(new CorgiMascot(CorgiMascotAssets::load(QStringLiteral("corgi_run"), 4),
                              CorgiMascotAssets::load(QStringLiteral("corgi_sitting"), 4), this)),
      mascotOpacity_(new QGraphicsOpacityEffect(mascot_)),
      mascotFade_(new QPropertyAnimation(mascotOpacity_, "opacity", this)) {
    setObjectName(QStringLiteral("dashboard"));
    setWindowTitle(tr("Quotameter"));
    setMinimumSize(820, 520);
    resize(1040, 760);

    auto* page = new QWidget;
    page->setLayout(content_);
    content_->setSpacing(16);
    content_->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    content_->addWidget(top_);
    content_->addWidget(grid_);
    content_->addWidget(recent_);
    content_->addStretch(1);
    scroll_->setWidget(page);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(scroll_, 1);
    // Below the scrolling cards rather than over them, so the dog never hides a figure; its
    // height follows the window's (resizeEvent).
    mascot_->setFixedHeight(CorgiMascot::heightFor(height()));
    auto* strip = new QHBoxLayout;
    strip->setContentsMargins(kPadding, 0, kPadding, 0);
    strip->addWidget(mascot_);
    layout->addLayout(strip);

    mascot_->setGraphicsEffect(mascotOpacity_);
    mascotFade_->setDuration(250);
    connect(mascotFade_, &QPropertyAnimation::finished, this, [this] {
        if (mascotOpacity_->opacity() < 0.5) mascot_->hide();
    });
    setMascotEnabled(preferences_->mascotEnabled(), false);
    // A choice made elsewhere (another dashboard) shows here too; the animation only when it
    // changes what is shown.
    connect(preferences_, &Preferences::changed, this, [this] {
        const bool on = preferences_->mascotEnabled();
        mascotSwitch_->setChecked(on);
        if (on != mascotShown()) setMascotEnabled(on, isVisible());
    });

    clock_.setInterval(30000);
    connect(&clock_, &QTimer::timeout, this, &DashboardWindow::render);
    connect(aggregator_, &UsageAggregator::changed, this, &DashboardWindow::render);
    WindowBehaviour::install(this, WindowBehaviour::CloseKeys::ctrlW);
    render();
}

QWidget* DashboardWindow::makeHeader() {
    auto* header = new QWidget;
    header->setObjectName(QStringLiteral("header"));
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    auto* names = new QVBoxLayout;
    names->setSpacing(4);
    auto* title = new QLabel(tr("Quotameter"), header);
    title->setFont(Look::title2());
    updated_ = new QLabel(header);
    updated_->setObjectName(QStringLiteral("lastRefresh"));
    updated_->setFont(Look::caption());
    Look::makeSecondary(updated_);
    // The outcome of a price update the user asked for, in a line of its own so that a long
    // one neither widens the header nor hides the refresh time.
    priceOutcome_ = new ElidedLabel(header, Qt::ElideRight, 2);
    priceOutcome_->setObjectName(QStringLiteral("priceOutcome"));
    priceOutcome_->setFont(Look::caption());
    Look::makeSecondary(priceOutcome_);
    priceOutcome_->hide();
    names->addWidget(title);
    names->addWidget(updated_);
    names->addWidget(priceOutcome_);
    // The names take the room the buttons leave, which the price outcome may need.
    row->addLayout(names, 1);

    mascotSwitch_ = new QCheckBox(tr("Mascot"));
    mascotSwitch_->setObjectName(QStringLiteral("mascotSwitch"));
    mascotSwitch_->setChecked(preferences_->mascotEnabled());
    autostartSwitch_ = new QCheckBox(tr("Start at login"));
    autostartSwitch_->setObjectName(QStringLiteral("autostartSwitch"));
    auto* trends = new QPushButton(Symbols::chart(), tr("Trends"), header);
    trends->setObjectName(QStringLiteral("trends"));
    auto* accounts = new QPushButton(Symbols::key(), tr("Accounts"), header);
    accounts->setObjectName(QStringLiteral("accounts"));
    refresh_ = new QPushButton(Symbols::refresh(), tr("Refresh"), header);
    refresh_->setObjectName(QStringLiteral("refresh"));
    auto* statusLine =
        new StatusLineSwitch(ClaudeCodeSettings::settingsPath(), StatusLineSwitch::installedCli());
    auto* settingsMenu = new SettingsMenu(
        {mascotSwitch_, autostartSwitch_, statusLine, new BackgroundOptions(preferences_)}, header);
    menu_ = settingsMenu->menu();
    for (QWidget* control :
         std::initializer_list<QWidget*>{trends, accounts, refresh_, settingsMenu}) {
        row->addWidget(control, 0, Qt::AlignVCenter);
    }

    connect(mascotSwitch_, &QCheckBox::toggled, preferences_, &Preferences::setMascotEnabled);
    showAutostart();
    connect(autostartSwitch_, &QCheckBox::toggled, this, &DashboardWindow::setAutostart);
    connect(trends, &QPushButton::clicked, this, [this] { openWindow_(QStringLiteral("trends")); });
    connect(accounts, &QPushButton::clicked, this,
            [this] { openWindow_(QStringLiteral("accounts")); });
    connect(refresh_, &QPushButton::clicked, aggregator_, &UsageAggregator::refreshInBackground);
    // The keys every desktop refreshes with, anywhere in the window.
    refresh_->setToolTip(tr("Refresh (F5, Ctrl+R)"));
    for (const QKeySequence& keys :
         {QKeySequence(Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::Key_R)}) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, refresh_, [this] {
            if (refresh_->isEnabled()) refresh_->click();
        });
    }
    return header;
}

void DashboardWindow::setLocalUsage(ledger::LocalUsageStore* store) {
    localUsage_ = store;
    connect(store, &ledger::LocalUsageStore::changed, this, &DashboardWindow::render);
    render();
}

void DashboardWindow::setRemoteHosts(hosts::RemoteHostStore* store) {
    remoteHosts_ = store;
    connect(store, &hosts::RemoteHostStore::changed, this, &DashboardWindow::render);
    render();
}

void DashboardWindow::setClaudeReadings(ClaudeLimitReadingStore* readings) {
    if (auto* card = findChild<ClaudeCard*>()) card->setReadings(readings);
}

void DashboardWindow::setHistory(UsageHistoryStore* history) {
    if (auto* card = findChild<ClaudeCard*>()) card->setHistory(history);
}

void DashboardWindow::setPrices(PriceUpdateStore* prices) {
    prices_ = prices;
    addPriceActions(menu_, prices);
    connect(prices, &PriceUpdateStore::changed, this, &DashboardWindow::showPriceOutcome);
    showPriceOutcome();
}

void DashboardWindow::showPriceOutcome() {
    const QString sentence = prices_ ? priceUpdateSentence(*prices_) : QString();
    priceOutcome_->setText(sentence);
    priceOutcome_->setToolTip(prices_ ? priceUpdateDetail(*prices_) : QString());
    priceOutcome_->setVisible(!sentence.isEmpty());
}

bool DashboardWindow::mascotShown() const {
    return mascot_->isVisibleTo(this) && mascotOpacity_->opacity() > 0.5;
}

void DashboardWindow::setMascotEnabled(bool enabled, bool animate) {
    mascotFade_->stop();
    if (enabled) mascot_->show();
    if (!animate || !isVisible()) {
        mascotOpacity_->setOpacity(enabled ? 1.0 : 0.0);
        mascot_->setVisible(enabled);
        return;
    }
    mascotFade_->setStartValue(mascotOpacity_->opacity());
    mascotFade_->setEndValue(enabled ? 1.0 : 0.0);
    mascotFade_->start();
}

void DashboardWindow::showAutostart() {
    const QSignalBlocker quiet(autostartSwitch_);
    autostartSwitch_->setChecked(autostart_.isEnabled());
}

void DashboardWindow::setAutostart(bool on) {
    const std::optional<QString> error = autostart_.setEnabled(on);
    // The switch shows the file as it is, so a failed write leaves it where it was.
    showAutostart();
    autostartSwitch_->setToolTip(error.value_or(QString()));
    if (error)
        QToolTip::showText(autostartSwitch_->mapToGlobal(QPoint(0, 0)), *error, autostartSwitch_);
}

void DashboardWindow::render() {
    const TimeMs now = systemNow();
    QString status = UsageText::lastRefresh(aggregator_->lastRefreshAt(), now);
    if (localUsage_ && localUsage_->progress()) {
        status += QStringLiteral("  ·  ") + ledger::indexingText(*localUsage_->progress());
    }
    updated_->setText(status);
    refresh_->setEnabled(!aggregator_->isRefreshing());

    const std::vector<ProviderUsage> providers = listedSummaries(aggregator_->providers());
    keepOneCardPerTool(providers);
    for (std::size_t i = 0; i < providers.size(); ++i) {
        cards_[i]->show(providers[i], now);
        cards_[i]->costLines()->show(localUsage_, providers[i].kind, now, remoteHosts_);
    }
    recent_->show(providers, now);
}

void DashboardWindow::keepOneCardPerTool(const std::vector<ProviderUsage>& providers) {
    // A card stays with its tool from one refresh to the next, so what the user points at or
    // has focused survives; cards are made or dropped only when the set of tools changes.
    const bool same =
        std::ranges::equal(cards_, providers, {}, &ProviderCard::kind,
                           [](const ProviderUsage& p) { return std::optional(p.kind); });
    if (same) return;
    std::vector<ProviderCard*> next;
    for (const ProviderUsage& p : providers) {
        const auto kept = std::ranges::find(cards_, std::optional(p.kind), &ProviderCard::kind);
        if (kept == cards_.end()) {
            next.push_back(new ProviderCard);
            continue;
        }
        next.push_back(*kept);
        cards_.erase(kept);
    }
    for (ProviderCard* gone : cards_) delete gone;
    cards_ = std::move(next);
    grid_->setCards({cards_.begin(), cards_.end()});
}

void DashboardWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The user or the session manager may have changed the entry while the window was closed.
    showAutostart();
    render();
    clock_.start();
    startupRefreshAfterPaint(this, aggregator_, claude_);
}

void DashboardWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    mascot_->setFixedHeight(CorgiMascot::heightFor(event->size().height()));
}

void DashboardWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    clock_.stop();
}

}  // namespace qm::gui
