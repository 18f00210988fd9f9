#include "gui/panel/MenuBarPanel.h"

#include <QApplication>
#include <QCoroCore>
#include <QDateTime>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "alerts/ClaudeLimits.h"
#include "alerts/LimitReadings.h"
#include "claude/ClaudeUsageStore.h"
#include "core/Clock.h"
#include "core/DisplayFormat.h"
#include "gui/AppStores.h"
#include "gui/UsageText.h"
#include "gui/widgets/ElidedLabel.h"
#include "gui/widgets/Look.h"
#include "gui/widgets/Symbols.h"
#include "ledger/UsageAggregator.h"

namespace qm::gui {

namespace {
constexpr int kWidth = 360;
constexpr int kNameWidth = 58;

// Wayland places no popups at a position of our choosing: there the panel is a small dialog
// that closes when the application loses focus.
bool positionedPopups() {
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}
}  // namespace

MenuBarPanel::MenuBarPanel(UsageAggregator* aggregator, ClaudeUsageStore* claude,
                           std::function<void(const QString&)> openWindow, QWidget* parent)
    : QWidget(parent, positionedPopups() ? Qt::Popup : Qt::Dialog),
      aggregator_(aggregator),
      claude_(claude),
      claudeSources_{claude, nullptr, nullptr},
      openWindow_(std::move(openWindow)),
      rowsLayout_(new QVBoxLayout),
      busy_(new QProgressBar(this)),
      refresh_(new QPushButton(Symbols::refresh(), tr("Refresh"), this)) {
    setObjectName(QStringLiteral("menuBarPanel"));
    setWindowTitle(tr("Quotameter Panel"));
    setFixedWidth(kWidth);
    setAttribute(Qt::WA_StyledBackground);
    setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(12);

    auto* header = new QHBoxLayout;
    auto* title = new QLabel(tr("Quotameter"), this);
    title->setFont(Look::headline());
    header->addWidget(title);
    header->addStretch(1);
    // A small indeterminate bar stands for the activity indicator.
    busy_->setObjectName(QStringLiteral("busyIndicator"));
    busy_->setRange(0, 0);
    busy_->setTextVisible(false);
    busy_->setFixedSize(40, 8);
    header->addWidget(busy_);
    layout->addLayout(header);

    rowsLayout_->setSpacing(8);
    layout->addLayout(rowsLayout_);
    // Below the tools' rows, which come and go above it.
    // The Claude row says what to do (sign in, wait, why a fetch failed): whole, in two lines.
    claudeRow_ = addRow(0, 2);
    claudeRow_.name->setText(tr("Claude"));
    claudeRow_.name->setObjectName(QStringLiteral("claudeName"));
    claudeRow_.detail->setObjectName(QStringLiteral("claudeStatus"));
    claudeRow_.figure->setObjectName(QStringLiteral("claudeFiveHour"));
    claudeRow_.dot->setObjectName(QStringLiteral("claudeDot"));

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider);

    auto* buttons = new QHBoxLayout;
    auto* open = new QPushButton(tr("Open Dashboard"), this);
    open->setObjectName(QStringLiteral("openDashboard"));
    refresh_->setObjectName(QStringLiteral("refresh"));
    buttons->addWidget(open);
    buttons->addStretch(1);
    buttons->addWidget(refresh_);
    layout->addLayout(buttons);
    // The keyboard starts on the panel's main action (Space opens the dashboard), and Tab
    // follows the buttons from left to right (Refresh exists first).
    setTabOrder(open, refresh_);
    open->setFocus();

    connect(open, &QPushButton::clicked, this, [this] {
        hide();
        openWindow_(QStringLiteral("dashboard"));
    });
    connect(refresh_, &QPushButton::clicked, aggregator_, &UsageAggregator::refreshInBackground);
    if (!positionedPopups()) {
        connect(qApp, &QGuiApplication::applicationStateChanged, this,
                [this](Qt::ApplicationState state) {
                    if (state != Qt::ApplicationActive) hide();
                });
    }
    connect(aggregator_, &UsageAggregator::changed, this, &MenuBarPanel::render);
    connect(claude_, &ClaudeUsageStore::changed, this, &MenuBarPanel::render);
    render();
}

MenuBarPanel::Row MenuBarPanel::addRow(int position, int detailLines) {
    auto* line = new QHBoxLayout;
    line->setSpacing(10);
    Row row{line,
            new StatusDot(8, this),
            new QLabel(this),
            new ElidedLabel(this, Qt::ElideRight, detailLines),
            new QLabel(this),
            std::nullopt};
    for (QLabel* label : {row.name, row.detail, row.figure}) label->setFont(Look::caption());
    row.name->setFixedWidth(Look::toolNameWidth(row.name->font(), kNameWidth));
    Look::makeSecondary(row.detail);
    // A sentence over two lines reads from the left; a short figure sits by the number.
    row.detail->setAlignment((detailLines > 1 ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter);
    row.detail->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    row.figure->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    line->addWidget(row.dot, 0, Qt::AlignVCenter);
    line->addWidget(row.name);
    line->addWidget(row.detail, 1);
    line->addWidget(row.figure);
    rowsLayout_->insertLayout(position, line);
    return row;
}

void MenuBarPanel::removeRow(const Row& row) {
    rowsLayout_->removeItem(row.line);
    delete row.line;  // the layout only; its widgets belong to the panel
    for (QWidget* widget :
         std::initializer_list<QWidget*>{row.dot, row.name, row.detail, row.figure})
        delete widget;
}

void MenuBarPanel::keepOneRowPerTool(const std::vector<ProviderUsage>& providers) {
    // A row stays with its tool from one refresh to the next; rows are made or dropped only
    // when the set of tools changes.
    const bool same =
        std::ranges::equal(toolRows_, providers, {}, &Row::kind,
                           [](const ProviderUsage& p) { return std::optional(p.kind); });
    if (same) return;
    std::vector<Row> next;
    for (const ProviderUsage& p : providers) {
        const auto kept = std::ranges::find(toolRows_, std::optional(p.kind), &Row::kind);
        if (kept == toolRows_.end()) {
            next.push_back(Row{});
            next.back().kind = p.kind;
            continue;
        }
        next.push_back(*kept);
        toolRows_.erase(kept);
    }
    for (const Row& gone : toolRows_) removeRow(gone);
    // Laid out again in the tools' order, each above the Claude row.
    for (std::size_t i = 0; i < next.size(); ++i) {
        Row& row = next[i];
        if (!row.line) {
            const std::optional<ProviderKind> kind = row.kind;
            row = addRow(static_cast<int>(i));
            row.kind = kind;
        } else {
            rowsLayout_->removeItem(row.line);
            row.line->setParent(nullptr);  // a layout with a parent cannot be inserted again
            rowsLayout_->insertLayout(static_cast<int>(i), row.line);
        }
    }
    toolRows_ = std::move(next);
}

void MenuBarPanel::render() {
    const std::vector<ProviderUsage> providers = listedSummaries(aggregator_->providers());
    keepOneRowPerTool(providers);
    const TimeMs now = systemNow();
    for (std::size_t i = 0; i < providers.size(); ++i) {
        const ProviderUsage& p = providers[i];
        Row& row = toolRows_[i];
        const std::vector<LimitReading> read =
            p.planLimits ? codexLimitReadings(*p.planLimits) : std::vector<LimitReading>{};
        // The dot is how full the tool's fullest limit is; grey for a tool without limits.
        row.dot->setColour(
            Look::levelColour(limitsLevel(read, now).value_or(UsageStatusLevel::unknown)));
        // The plan's windows as they stand now: past its reset, the new one.
        const std::vector<LimitReading> limits = currentWindows(read, now);
        row.name->setText(p.providerName);
        row.detail->setObjectName(QStringLiteral("prompts_") + p.providerName);
        row.figure->setObjectName(QStringLiteral("tokens_") + p.providerName);
        QString detail = p.lastFiveHourPrompts == 1 ? tr("1 prompt")
                                                    : tr("%1 prompts").arg(p.lastFiveHourPrompts);
        for (const LimitReading& limit : limits) {
            if (limit.window() != QLatin1String("fiveHour")) continue;
            if (limit.freshSince)
                detail += tr(" · 5h %1, %2")
                              .arg(UsageText::percent(limit.percent),
                                   resetPassedText(*limit.freshSince, now));
            else
                detail += tr(" · 5h %1").arg(UsageText::percent(limit.percent));
        }
        row.detail->setText(detail);
        row.figure->setText(DisplayFormat::formattedTokens(p.lastFiveHourTokens));
    }
    renderClaude(now);

    busy_->setVisible(aggregator_->isRefreshing());
    refresh_->setEnabled(!aggregator_->isRefreshing());
}

void MenuBarPanel::renderClaude(TimeMs now) {
    const std::optional<LimitReading> session = fiveHourOf(claudeLimitsNow(claudeSources_, now));
    claudeRow_.dot->setColour(Look::levelColour(UsageText::claudeLevel(session, now)));
    // Limits Claude Code handed over stand for themselves: the sign-in is the site's business.
    const QString status =
        session && !claude_->latest() ? limitSourceText(*session, now) : claude_->statusText();
    claudeRow_.detail->setText(status);
    claudeRow_.detail->setToolTip(UsageText::claudeStatusToolTip(
        status, claude_->latest() ? claude_->errorDetail() : QString()));
    // Past its reset the session reads 0%; the figure's tool tip says since when.
    const std::optional<LimitReading> shown =
        session ? std::optional(currentWindow(*session, now)) : std::nullopt;
    claudeRow_.figure->setText(shown ? UsageText::percent(shown->percent) : QStringLiteral("-"));
    claudeRow_.figure->setToolTip(shown && shown->freshSince
                                      ? resetPassedText(*shown->freshSince, now)
                                      : (shown ? limitSourceText(*shown, now) : QString()));
}

void MenuBarPanel::setClaudeLimitSources(const ClaudeLimitSources& sources) {
    claudeSources_ = sources;
    claudeSources_.claude = claude_;
    whenClaudeLimitSourcesChange(sources, this, [this] { render(); });
    render();
}

void MenuBarPanel::popUpAt(const QRect& anchor) {
    adjustSize();
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    const QRect area = screen->availableGeometry();
    const QSize size = sizeHint().expandedTo(QSize(kWidth, 0));
    // Below the icon when it sits in a top bar, above it otherwise; always inside the screen.
    int y = anchor.bottom() + 4;
    if (y + size.height() > area.bottom()) y = anchor.top() - 4 - size.height();
    int x = anchor.center().x() - size.width() / 2;
    x = std::clamp(x, area.left(), std::max(area.left(), area.right() - size.width()));
    y = std::clamp(y, area.top(), std::max(area.top(), area.bottom() - size.height()));
    move(x, y);
    show();
    raise();
    activateWindow();
}

void MenuBarPanel::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    startupRefreshAfterPaint(this, aggregator_, claude_);
}

void MenuBarPanel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace qm::gui
