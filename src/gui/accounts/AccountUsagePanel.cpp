#include "gui/accounts/AccountUsagePanel.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "core/DisplayFormat.h"
#include "gui/widgets/LabelledFigure.h"
#include "gui/widgets/WindowTextStyles.h"
#include "providers/ProviderUsageText.h"

namespace qm::gui {

namespace Text = ProviderUsageText;

namespace {

constexpr double kCaption = 0.9;
constexpr double kSmallCaption = 0.82;

QString updatedText(const ProviderAccountUsageState& state, std::int64_t nowMs) {
    if (!state.lastUpdatedAt) return {};
    return QObject::tr("Updated %1").arg(DisplayFormat::relativeTime(*state.lastUpdatedAt, nowMs));
}

QPushButton* segment(const QString& text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setCheckable(true);
    // At least the segment width, more when a larger font needs it.
    button->setMinimumWidth(44);
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return button;
}

}  // namespace

AccountUsagePanel::AccountUsagePanel(ApiAccountProvider provider, QWidget* parent)
    : QWidget(parent),
      provider_(provider),
      rangePicker_(new QWidget(this)),
      range_(new QButtonGroup(this)),
      validate_(new QPushButton(style()->standardIcon(QStyle::SP_DialogApplyButton), tr("Validate"),
                                this)),
      fetch_(new QPushButton(style()->standardIcon(QStyle::SP_BrowserReload), tr("Fetch usage"),
                             this)),
      progress_(new QWidget(this)),
      progressText_(new QLabel(progress_)),
      details_(new QWidget(this)),
      detailsLayout_(new QVBoxLayout(details_)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 4, 0, 0);
    layout->setSpacing(4);

    header_ = new QBoxLayout(QBoxLayout::LeftToRight);
    auto* header = header_;
    auto* titles = new QVBoxLayout;
    titles->setSpacing(0);
    titles->addWidget(WindowText::label(tr("Usage"), this, kCaption, true));
    auto* description = WindowText::label(Text::usageDescription(provider), this, kSmallCaption);
    WindowText::setColor(description, WindowText::secondary(this));
    titles->addWidget(description);
    header->addLayout(titles, 1);

    rangePicker_->setObjectName(QStringLiteral("rangePicker"));
    rangePicker_->setToolTip(tr("Range"));
    auto* range = new QHBoxLayout(rangePicker_);
    range->setContentsMargins(0, 0, 0, 0);
    range->setSpacing(0);
    QPushButton* week = segment(tr("7d"), "range7Button", rangePicker_);
    QPushButton* month = segment(tr("30d"), "range30Button", rangePicker_);
    range_->addButton(week, 7);
    range_->addButton(month, 30);
    range->addWidget(week);
    range->addWidget(month);
    auto* controls = new QHBoxLayout;
    controls_ = controls;
    controls->addWidget(rangePicker_, 0, Qt::AlignVCenter);
    validate_->setObjectName(QStringLiteral("validateButton"));
    fetch_->setObjectName(QStringLiteral("fetchButton"));
    controls->addWidget(validate_, 0, Qt::AlignVCenter);
    controls->addWidget(fetch_, 0, Qt::AlignVCenter);
    controls->addStretch(0);
    header->addLayout(controls);
    titles_ = titles;
    layout->addLayout(header);

    auto* progress = new QHBoxLayout(progress_);
    progress->setContentsMargins(0, 0, 0, 0);
    auto* spinner = new QProgressBar(progress_);
    spinner->setRange(0, 0);  // busy, without a known end
    spinner->setFixedSize(60, 8);
    spinner->setTextVisible(false);
    progressText_->setObjectName(QStringLiteral("progressLabel"));
    progressText_->setFont(WindowText::scaled(font(), kCaption));
    progress->addWidget(spinner);
    progress->addWidget(progressText_);
    progress->addStretch(1);
    progress_->hide();
    layout->addWidget(progress_);

    detailsLayout_->setContentsMargins(0, 0, 0, 0);
    detailsLayout_->setSpacing(3);
    layout->addWidget(details_);

    connect(range_, &QButtonGroup::idClicked, this, &AccountUsagePanel::lookbackChanged);
    connect(validate_, &QPushButton::clicked, this, &AccountUsagePanel::validateRequested);
    connect(fetch_, &QPushButton::clicked, this, &AccountUsagePanel::fetchRequested);
    setState({}, 0);
}

void AccountUsagePanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // Side by side when both fit, the controls under the description otherwise.
    const int needed = titles_->sizeHint().width() + controls_->sizeHint().width() + 24;
    const auto direction = width() >= needed ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom;
    if (header_->direction() != direction) header_->setDirection(direction);
}

void AccountUsagePanel::setState(const ProviderAccountUsageState& state, std::int64_t nowMs) {
    const QString updated = updatedText(state, nowMs);
    if (hasState_ && state == state_ && updated == updatedText_) return;
    hasState_ = true;
    state_ = state;
    updatedText_ = updated;

    const bool busy = state.isValidating || state.isFetching;
    if (QAbstractButton* checked = range_->button(state.lookbackDays == 30 ? 30 : 7)) {
        checked->setChecked(true);
    }
    rangePicker_->setEnabled(Text::hasUsageReport(provider_) && !busy);
    validate_->setEnabled(!busy);
    fetch_->setEnabled(!busy);
    progress_->setVisible(busy);
    progressText_->setText(state.isValidating ? tr("Validating...") : tr("Fetching usage..."));
    rebuildDetails(nowMs);
}

QLabel* AccountUsagePanel::addLine(const QString& text, const char* name, const QColor* color) {
    QLabel* line = WindowText::label(text, details_, kCaption);
    line->setObjectName(QString::fromLatin1(name));
    WindowText::setSelectable(line);
    WindowText::setColor(line, color ? *color : WindowText::secondary(this));
    detailsLayout_->addWidget(line);
    return line;
}

void AccountUsagePanel::rebuildDetails(std::int64_t nowMs) {
    Q_UNUSED(nowMs);
    while (QLayoutItem* item = detailsLayout_->takeAt(0)) {
        if (QWidget* widget = item->widget()) delete widget;
        if (QLayout* inner = item->layout()) {
            while (QLayoutItem* child = inner->takeAt(0)) {
                delete child->widget();
                delete child;
            }
        }
        delete item;
    }

    if (const auto& validation = state_.validation) {
        const QColor color = validation->ok ? WindowText::green() : WindowText::red();
        auto* row = new QHBoxLayout;
        auto* mark =
            new QLabel(validation->ok ? QStringLiteral("✔") : QStringLiteral("✖"), details_);
        WindowText::setColor(mark, color);
        row->addWidget(mark, 0, Qt::AlignTop);
        QLabel* text =
            WindowText::label(Text::validationText(provider_, *validation), details_, kCaption);
        text->setObjectName(QStringLiteral("validationText"));
        WindowText::setSelectable(text);
        row->addWidget(text, 1);
        detailsLayout_->addLayout(row);
    }
    if (state_.usageResult) addResult(*state_.usageResult);
    if (state_.errorMessage && !state_.errorMessage->isEmpty()) {
        const QColor red = WindowText::red();
        addLine(*state_.errorMessage, "stateError", &red);
    }
    if (!updatedText_.isEmpty()) addLine(updatedText_, "updatedLabel");
    details_->setVisible(detailsLayout_->count() > 0);
}

void AccountUsagePanel::addResult(const UsageFetchResult& result) {
    if (result.message && !result.message->isEmpty()) addLine(*result.message, "resultMessage");
    if (result.keyInfo) {
        for (const QString& line : Text::keyInfoLines(*result.keyInfo)) {
            addLine(line, "keyInfoLine", nullptr);
        }
    }
    if (!result.buckets.empty()) {
        auto* totals = new QHBoxLayout;
        totals->setSpacing(20);
        const std::pair<QString, QString> cells[] = {
            {tr("Input"), DisplayFormat::formattedTokens(result.totalInputTokens())},
            {tr("Output"), DisplayFormat::formattedTokens(result.totalOutputTokens())},
            {tr("Cache"), DisplayFormat::formattedTokens(result.totalCacheTokens())},
            {tr("Cost"), DisplayFormat::money(result.totalCostUsd(), MoneyPrecision::SubCent)}};
        for (const auto& [label, value] : cells) {
            auto* cell = new LabelledFigure(label, value, details_);
            cell->setObjectName(QStringLiteral("total") + label);
            totals->addWidget(cell);
        }
        totals->addStretch(1);
        detailsLayout_->addLayout(totals);

        auto* table = new QWidget(details_);
        table->setObjectName(QStringLiteral("bucketTable"));
        auto* grid = new QGridLayout(table);
        grid->setContentsMargins(0, 2, 0, 2);
        grid->setHorizontalSpacing(16);
        grid->setVerticalSpacing(1);
        const QFont digits = WindowText::monospaced(WindowText::scaled(font(), kSmallCaption));
        const QStringList headers{tr("Model"), tr("Input"), tr("Output"), tr("Cache"), tr("Cost")};
        for (int column = 0; column < headers.size(); ++column) {
            QLabel* head = WindowText::label(headers[column], table, kSmallCaption, true);
            head->setWordWrap(false);
            grid->addWidget(head, 0, column, column == 0 ? Qt::AlignLeft : Qt::AlignRight);
        }
        int row = 1;
        for (const UsageBucket& bucket : result.buckets) {
            const QStringList cellsText{
                bucket.model, DisplayFormat::formattedTokens(bucket.inputTokens),
                DisplayFormat::formattedTokens(bucket.outputTokens),
                DisplayFormat::formattedTokens(bucket.cacheCreationTokens + bucket.cacheReadTokens +
                                               bucket.cachedInputTokens),
                DisplayFormat::money(bucket.costUsd, MoneyPrecision::SubCent)};
            for (int column = 0; column < cellsText.size(); ++column) {
                auto* cell = new QLabel(cellsText[column], table);
                cell->setTextFormat(Qt::PlainText);
                cell->setFont(column == 0 ? WindowText::scaled(font(), kSmallCaption) : digits);
                cell->setObjectName(QStringLiteral("bucketCell"));
                grid->addWidget(cell, row, column, column == 0 ? Qt::AlignLeft : Qt::AlignRight);
            }
            ++row;
        }
        grid->setColumnStretch(0, 1);
        detailsLayout_->addWidget(table);
    } else if (result.ok && Text::hasUsageReport(provider_)) {
        addLine(tr("No usage returned for the selected range."), "noUsageLabel");
    }
    const QColor orange = WindowText::orange();
    for (const QString& warning : result.warnings) addLine(warning, "warningLabel", &orange);
    if (!result.ok && result.errorMessage && !result.errorMessage->isEmpty()) {
        const QColor red = WindowText::red();
        addLine(*result.errorMessage, "resultError", &red);
    }
}

}  // namespace qm::gui
