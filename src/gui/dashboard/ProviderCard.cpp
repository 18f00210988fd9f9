#include "gui/dashboard/ProviderCard.h"

#include <QFontMetrics>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <algorithm>

#include "core/DisplayFormat.h"
#include "core/Pricing.h"
#include "gui/UsageText.h"
#include "gui/dashboard/ToolCostLines.h"
#include "gui/widgets/ElidedLabel.h"
#include "gui/widgets/LimitBar.h"

namespace qm::gui {

namespace {
// The details' title column: as wide as the longest title in the font in use, at least 48, so
// a larger font never runs a title into its value.
int detailTitleWidth() {
    const QFontMetrics metrics(Look::caption());
    int width = 48;
    for (const char* title : {"Latest", "Project", "Model", "Source"})
        width = std::max(width, metrics.horizontalAdvance(ProviderCard::tr(title)) + 6);
    return width;
}

QString orDash(const QString& text) {
    return text.isEmpty() ? QStringLiteral("-") : text;
}
}  // namespace

ProviderCard::ProviderCard(QWidget* parent)
    : CardFrame(parent),
      mark_(new StatusDot(10, this)),
      name_(new QLabel(this)),
      login_(new QLabel(this)),
      badge_(new Pill(this)),
      limits_(new LimitBars(this)),
      warning_(new ElidedLabel(this, Qt::ElideRight, 2)) {
    setMinimumHeight(260);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(14);

    layout->addLayout(makeHeader());
    limits_->setObjectName(QStringLiteral("limits"));
    layout->addWidget(limits_);

    auto* metrics = new QVBoxLayout;
    metrics->setSpacing(4);
    layout->addLayout(metrics);
    const auto addMetric = [&](const QString& title, const QString& key) {
        return addMetricRow(metrics, title, key);
    };
    prompts_ = addMetric(tr("5h prompts"), QStringLiteral("prompts"));
    tokens_ = addMetric(tr("5h tokens"), QStringLiteral("tokens"));
    // Both count the sessions active in the last five hours, each with its whole cost.
    sessions_ = addMetric(tr("5h sessions"), QStringLiteral("sessions"));
    cost_ = addMetric(tr("Cost of 5h sessions"), QStringLiteral("cost"));
    costLines_ = new ToolCostLines(this);
    metrics->addWidget(costLines_);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider);

    auto* details = new QVBoxLayout;
    details->setSpacing(3);
    layout->addLayout(details);
    const auto addDetail = [&](const QString& title, const QString& key) {
        return addDetailRow(details, title, key);
    };
    latest_ = addDetail(tr("Latest"), QStringLiteral("latest"));
    project_ = addDetail(tr("Project"), QStringLiteral("project"));
    model_ = addDetail(tr("Model"), QStringLiteral("model"));
    source_ = addDetail(tr("Source"), QStringLiteral("source"));

    warning_->setObjectName(QStringLiteral("warning"));
    warning_->setFont(Look::caption());
    Look::makeSecondary(warning_);
    layout->addWidget(warning_);
    layout->addStretch(1);
}

// The tool's colour mark and name over its sign-in line, the activity badge on the right.
QHBoxLayout* ProviderCard::makeHeader() {
    auto* header = new QHBoxLayout;
    mark_->setObjectName(QStringLiteral("toolMark"));
    auto* nameRow = new QHBoxLayout;
    nameRow->setSpacing(6);
    nameRow->addWidget(mark_, 0, Qt::AlignVCenter);
    nameRow->addWidget(name_, 1);
    auto* names = new QVBoxLayout;
    names->setSpacing(2);
    name_->setObjectName(QStringLiteral("name"));
    name_->setFont(Look::headline());
    login_->setObjectName(QStringLiteral("login"));
    login_->setFont(Look::caption());
    Look::makeSecondary(login_);
    // Hidden, it keeps its line, so the figures of cards side by side stay level.
    QSizePolicy keepLine = login_->sizePolicy();
    keepLine.setRetainSizeWhenHidden(true);
    login_->setSizePolicy(keepLine);
    names->addLayout(nameRow);
    names->addWidget(login_);
    header->addLayout(names, 1);
    badge_->setObjectName(QStringLiteral("badge"));
    header->addWidget(badge_, 0, Qt::AlignTop);
    return header;
}

// "5h prompts ......... 3": a title on the left, the figure on the right.
QLabel* ProviderCard::addMetricRow(QVBoxLayout* column, const QString& title, const QString& key) {
    auto* row = new QHBoxLayout;
    auto* name = new QLabel(title, this);
    Look::makeSecondary(name);
    auto* value = new QLabel(this);
    value->setObjectName(key);
    row->addWidget(name);
    row->addStretch(1);
    row->addWidget(value);
    column->addLayout(row);
    return value;
}

// "Project  app": a caption in a column as wide as the longest, its value cut to fit.
QLabel* ProviderCard::addDetailRow(QVBoxLayout* column, const QString& title, const QString& key) {
    auto* row = new QHBoxLayout;
    auto* name = new QLabel(title, this);
    name->setFont(Look::caption());
    name->setFixedWidth(detailTitleWidth());
    Look::makeSecondary(name);
    auto* value = new ElidedLabel(this);
    value->setObjectName(key);
    value->setFont(Look::caption());
    row->addWidget(name, 0, Qt::AlignBaseline);
    row->addWidget(value, 1, Qt::AlignBaseline);
    column->addLayout(row);
    return value;
}

void ProviderCard::show(const ProviderUsage& usage, TimeMs now) {
    kind_ = usage.kind;
    setObjectName(QStringLiteral("card_") + usage.providerName);
    name_->setText(usage.providerName);
    // Signing in matters only to say a tool is ready; a card full of a tool's figures proves it
    // ran, whatever its sign-in file says, so "Not logged in" is never shown beside them.
    login_->setText(usage.isAuthenticated ? tr("Logged in") : QString());
    login_->setVisible(usage.isAuthenticated);
    badge_->set(usage.statusText, Look::activityColour(usage.statusLevel));
    mark_->setColour(Look::toolColour(usage.kind));
    limits_->show(usage.planLimits ? codexLimitReadings(*usage.planLimits, usage.planReadings, now)
                                   : std::vector<LimitReading>{},
                  now);
    prompts_->setText(DisplayFormat::formattedCount(usage.lastFiveHourPrompts));
    tokens_->setText(DisplayFormat::formattedTokens(usage.lastFiveHourTokens));
    sessions_->setText(DisplayFormat::formattedCount(usage.sessionsTotal));
    // A model without a price adds nothing to the cost; say so beside it, and alone when no
    // model has a price, where a $0 would read as free.
    QString cost = DisplayFormat::money(usage.costTotal, MoneyPrecision::SubCent);
    if (!usage.unpricedModels.isEmpty()) {
        const QString unpriced = UsagePricing::unpricedText(usage.unpricedModels.size());
        cost = usage.costTotal > 0 ? cost + QStringLiteral(" · ") + unpriced : unpriced;
    }
    cost_->setText(cost);
    cost_->setToolTip(usage.unpricedModels.join(QStringLiteral(", ")));
    latest_->setText(DisplayFormat::relativeTime(usage.latestActivityAt, now));
    project_->setText(orDash(usage.latestProject));
    model_->setText(orDash(usage.latestModel));
    source_->setText(usage.dataSourceLabel);
    // Only the first warning, cut after two lines (the label's limit).
    const QString first = usage.warnings.isEmpty() ? QString() : usage.warnings.first();
    warning_->setVisible(!first.isEmpty());
    warning_->setToolTip(first);
    warning_->setText(first);
}

}  // namespace qm::gui
