#include "gui/claude/ClaudeCard.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "alerts/ClaudeLimitReadingStore.h"
#include "alerts/ClaudeLimits.h"
#include "alerts/LimitReadings.h"
#include "claude/ClaudeUsageStore.h"
#include "core/Clock.h"
#include "gui/UsageText.h"
#include "gui/claude/ClaudeLimitsNow.h"
#include "gui/widgets/ElidedLabel.h"
#include "gui/widgets/LimitBar.h"
#include "gui/widgets/Symbols.h"
#include "history/UsageHistoryStore.h"
#include "ledger/UsageAggregator.h"

namespace qm::gui {

namespace {

QToolButton* borderless(const QIcon& icon, const QString& help, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setIcon(icon);
    button->setIconSize(QSize(16, 16));
    button->setAutoRaise(true);
    button->setToolTip(help);
    return button;
}

// One of the card's windows as a limit reading, so the one rule tells whether it has reset.
LimitReading cardWindow(double percent, const std::optional<QString>& resetAt,
                        std::optional<TimeMs> projectedFullAt = std::nullopt) {
    LimitReading reading;
    reading.percent = percent;
    if (resetAt) reading.resetsAt = ClaudeUsageDateParser::date(*resetAt);
    reading.projectedFullAt = projectedFullAt;
    return reading;
}

// The reset time as the site wrote it for `window` ("fiveHour", "weekly", "weeklySonnet").
std::optional<QString> siteResetText(const std::optional<LatestClaudeUsage>& latest,
                                     const QString& window) {
    if (!latest) return std::nullopt;
    if (window == QLatin1String("fiveHour")) return latest->sessionResetAt;
    if (window == QLatin1String("weekly")) return latest->weekResetAt;
    return latest->subResetAt;
}

}  // namespace

ClaudeCard::ClaudeCard(ClaudeUsageStore* store, UsageAggregator* usage,
                       std::function<void(const QString&)> openWindow, QWidget* parent)
    : CardFrame(parent),
      store_(store),
      usage_(usage),
      openWindow_(std::move(openWindow)),
      status_(new ElidedLabel(this, Qt::ElideRight)),
      refresh_(borderless(Symbols::refresh(), QStringLiteral("Refresh"), this)),
      pill_(new Pill(this)),
      body_(new QStackedWidget(this)),
      figures_(new QWidget(body_)),
      figuresLayout_(new QVBoxLayout(figures_)),
      emptyStatus_(new QLabel(this)) {
    setObjectName(QStringLiteral("claudeCard"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(14);

    auto* header = new QHBoxLayout;
    auto* names = new QVBoxLayout;
    names->setSpacing(2);
    auto* title = new QLabel(QStringLiteral("Claude"), this);
    title->setFont(Look::headline());
    status_->setObjectName(QStringLiteral("claudeStatusText"));
    status_->setFont(Look::caption());
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    Look::makeSecondary(status_);
    names->addWidget(title);
    names->addWidget(status_);
    header->addLayout(names, 1);
    auto* person = borderless(Symbols::person(), QStringLiteral("Claude Login"), this);
    person->setObjectName(QStringLiteral("claudePersonButton"));
    refresh_->setObjectName(QStringLiteral("claudeRefresh"));
    pill_->setObjectName(QStringLiteral("claudePill"));
    header->addWidget(person);
    header->addWidget(refresh_);
    header->addWidget(pill_);
    layout->addLayout(header);

    figuresLayout_->setContentsMargins(0, 0, 0, 0);
    figuresLayout_->setSpacing(10);
    body_->addWidget(figures_);

    auto* empty = new QWidget(body_);
    empty->setMinimumHeight(124);
    auto* emptyLayout = new QVBoxLayout(empty);
    emptyLayout->setContentsMargins(0, 0, 0, 0);
    emptyLayout->setSpacing(10);
    emptyStatus_->setObjectName(QStringLiteral("claudeEmptyStatus"));
    emptyStatus_->setFont(Look::callout());
    emptyStatus_->setWordWrap(true);
    Look::makeSecondary(emptyStatus_);
    auto* login = new QPushButton(Symbols::person(), QStringLiteral("Claude Login"), empty);
    login->setObjectName(QStringLiteral("claudeLoginButton"));
    emptyLayout->addWidget(emptyStatus_);
    emptyLayout->addWidget(login, 0, Qt::AlignLeft);
    emptyLayout->addStretch(1);
    body_->addWidget(empty);
    layout->addWidget(body_);
    layout->addStretch(1);

    const auto openLogin = [this] { openWindow_(QStringLiteral("claude-login")); };
    connect(person, &QToolButton::clicked, this, openLogin);
    connect(login, &QPushButton::clicked, this, openLogin);
    connect(refresh_, &QToolButton::clicked, store_, &ClaudeUsageStore::refreshInBackground);
    connect(store_, &ClaudeUsageStore::changed, this, &ClaudeCard::render);
    if (usage_) connect(usage_, &UsageAggregator::changed, this, &ClaudeCard::render);
    render();
}

void ClaudeCard::clearFigures() {
    while (QLayoutItem* item = figuresLayout_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
}

void ClaudeCard::setReadings(ClaudeLimitReadingStore* readings) {
    readings_ = readings;
    if (readings_) connect(readings_, &ClaudeLimitReadingStore::changed, this, &ClaudeCard::render);
    render();
}

void ClaudeCard::setHistory(UsageHistoryStore* history) {
    history_ = history;
    if (history_) connect(history_, &UsageHistoryStore::changed, this, &ClaudeCard::render);
    render();
}

QWidget* ClaudeCard::addBar(const LimitReading& reading, const QString& source, TimeMs now) {
    auto* bar = new LimitBar(LimitBars::titleOf(reading), figures_);
    const LimitReading shown = currentWindow(reading, now);
    if (shown.freshSince) {
        bar->showReset(*shown.freshSince, now);
    } else {
        // A reset the site wrote in a form that is no time is shown as it came.
        const QString reset =
            reading.resetsAt
                ? QDateTime::fromMSecsSinceEpoch(*reading.resetsAt)
                      .toString(QStringLiteral("MM/dd HH:mm"))
                : UsageText::reset(reading.source == LimitSource::claudeWeb
                                       ? siteResetText(store_->latest(), reading.window())
                                       : std::nullopt);
        // The source line below says when it was read.
        bar->show(reading.percent, reset, std::nullopt, reading.projectedFullAt, now);
    }
    const auto caption = [bar](const QString& text, const QString& name) {
        auto* line = new QLabel(text, bar);
        line->setObjectName(name);
        line->setFont(Look::caption());
        Look::makeSecondary(line);
        bar->layout()->addWidget(line);
    };
    if (!source.isEmpty()) caption(source, QStringLiteral("source"));
    if (reading.window() == QLatin1String("fiveHour") && usage_) {
        const QString claudeCode = UsageText::fiveHourUse(usage_->usage(ProviderKind::claudeCode));
        if (!claudeCode.isEmpty()) caption(claudeCode, QStringLiteral("claudeCodeFiveHour"));
    }
    figuresLayout_->addWidget(bar);
    return bar;
}

void ClaudeCard::addTextRow(const QString& title, const QString& value, const QString& detail) {
    auto* row = new QWidget(figures_);
    row->setObjectName(QStringLiteral("row_") + title);
    row->setFont(Look::callout());
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* name = new QLabel(title, row);
    Look::makeSecondary(name);
    auto* right = new QVBoxLayout;
    right->setSpacing(2);
    auto* valueLabel = new QLabel(value, row);
    valueLabel->setObjectName(QStringLiteral("value"));
    valueLabel->setFont(QFont());
    valueLabel->setAlignment(Qt::AlignRight);
    auto* detailLabel = new QLabel(detail, row);
    detailLabel->setObjectName(QStringLiteral("detail"));
    detailLabel->setFont(Look::caption());
    detailLabel->setAlignment(Qt::AlignRight);
    Look::makeSecondary(detailLabel);
    right->addWidget(valueLabel);
    right->addWidget(detailLabel);
    layout->addWidget(name, 0, Qt::AlignTop);
    layout->addStretch(1);
    layout->addLayout(right);
    figuresLayout_->addWidget(row);
}

void ClaudeCard::render() {
    const QString tip = UsageText::claudeStatusToolTip(store_->statusText(), store_->errorDetail());
    const auto latest = store_->latest();
    const TimeMs now = systemNow();
    const std::vector<LimitReading> limits = claudeLimitsNow({store_, readings_, history_}, now);
    // Without figures the body says it in full; the header line stays empty so the card never
    // shows the same sentence twice.
    status_->setText(latest           ? store_->statusText()
                     : limits.empty() ? QString()
                                      : tr("Limits from Claude Code"));
    status_->setToolTip(tip);
    emptyStatus_->setToolTip(tip);
    const bool refreshing = store_->isRefreshing();
    refresh_->setEnabled(!refreshing);
    refresh_->setIcon(refreshing ? Symbols::busy() : Symbols::refresh());
    pill_->set(UsageText::pillText(store_->statusKind()),
               UsageText::pillColour(store_->statusKind()));

    if (limits.empty()) {
        emptyStatus_->setText(store_->statusText());
        body_->setCurrentIndex(1);
        return;
    }
    clearFigures();
    // Where and when each bar was read, said once for bars read together.
    QString above;
    for (const LimitReading& limit : limits) {
        const QString source = limitSourceText(limit, now);
        addBar(limit, source == above ? QString() : source, now);
        above = source;
    }
    if (!latest) {
        // Claude Code hands over the five-hour and weekly windows only.
        auto* note = new QLabel(tr("Per-model weekly limits (Opus, Sonnet) come from claude.ai: "
                                   "sign in to see them."),
                                figures_);
        note->setObjectName(QStringLiteral("claudePerModelNote"));
        note->setWordWrap(true);
        note->setFont(Look::caption());
        Look::makeSecondary(note);
        figuresLayout_->addWidget(note);
    } else {
        addSiteRows(*latest, now);
    }
    body_->setCurrentIndex(0);
}

void ClaudeCard::addSiteRows(const LatestClaudeUsage& latest, TimeMs now) {
    if (latest.hasDesign) {
        auto* bar = new LimitBar(QStringLiteral("Design"), figures_);
        const LimitReading shown =
            currentWindow(cardWindow(latest.designPct, latest.designResetAt), now);
        if (shown.freshSince)
            bar->showReset(*shown.freshSince, now);
        else
            bar->show(latest.designPct, UsageText::reset(latest.designResetAt), std::nullopt,
                      std::nullopt, now);
        figuresLayout_->addWidget(bar);
    }
    if (latest.hasRoutine) {
        // Past their reset the day's routines start again from none.
        const LimitReading routines = currentWindow(cardWindow(0, latest.routineResetAt), now);
        addTextRow(QStringLiteral("Routines"),
                   QStringLiteral("%1 / %2")
                       .arg(routines.freshSince ? 0 : latest.routineUsed)
                       .arg(latest.routineLimit),
                   routines.freshSince ? resetPassedText(*routines.freshSince, now)
                                       : UsageText::reset(latest.routineResetAt));
    }
    if (latest.extra && latest.extra->isEnabled) {
        const ExtraUsage& extra = *latest.extra;
        addTextRow(
            QStringLiteral("Extra"),
            UsageText::number(extra.usedCredits) + QStringLiteral(" / ") +
                UsageText::number(extra.monthlyLimit),
            extra.utilization ? UsageText::percent(*extra.utilization) : QStringLiteral("-"));
    }
}

}  // namespace qm::gui
