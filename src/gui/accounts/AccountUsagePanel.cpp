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
      m_provider(provider),
      m_rangePicker(new QWidget(this)),
      m_range(new QButtonGroup(this)),
      m_validate(new QPushButton(style()->standardIcon(QStyle::SP_DialogApplyButton),
                                 tr("Validate"), this)),
      m_fetch(new QPushButton(style()->standardIcon(QStyle::SP_BrowserReload), tr("Fetch usage"),
                              this)),
      m_progress(new QWidget(this)),
      m_progressText(new QLabel(m_progress)),
      m_details(new QWidget(this)),
      m_detailsLayout(new QVBoxLayout(m_details)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 4, 0, 0);
    layout->setSpacing(4);

    m_header = new QBoxLayout(QBoxLayout::LeftToRight);
    auto* header = m_header;
    auto* titles = new QVBoxLayout;
    titles->setSpacing(0);
    titles->addWidget(WindowText::label(tr("Usage"), this, kCaption, true));
    auto* description = WindowText::label(Text::usageDescription(provider), this, kSmallCaption);
    WindowText::setColor(description, WindowText::secondary(this));
    titles->addWidget(description);
    header->addLayout(titles, 1);

    m_rangePicker->setObjectName(QStringLiteral("rangePicker"));
    m_rangePicker->setToolTip(tr("Range"));
    auto* range = new QHBoxLayout(m_rangePicker);
    range->setContentsMargins(0, 0, 0, 0);
    range->setSpacing(0);
    QPushButton* week = segment(tr("7d"), "range7Button", m_rangePicker);
    QPushButton* month = segment(tr("30d"), "range30Button", m_rangePicker);
    m_range->addButton(week, 7);
    m_range->addButton(month, 30);
    range->addWidget(week);
    range->addWidget(month);
    auto* controls = new QHBoxLayout;
    m_controls = controls;
    controls->addWidget(m_rangePicker, 0, Qt::AlignVCenter);
    m_validate->setObjectName(QStringLiteral("validateButton"));
    m_fetch->setObjectName(QStringLiteral("fetchButton"));
    controls->addWidget(m_validate, 0, Qt::AlignVCenter);
    controls->addWidget(m_fetch, 0, Qt::AlignVCenter);
    controls->addStretch(0);
    header->addLayout(controls);
    m_titles = titles;
    layout->addLayout(header);

    auto* progress = new QHBoxLayout(m_progress);
    progress->setContentsMargins(0, 0, 0, 0);
    auto* spinner = new QProgressBar(m_progress);
    spinner->setRange(0, 0);  // busy, without a known end
    spinner->setFixedSize(60, 8);
    spinner->setTextVisible(false);
    m_progressText->setObjectName(QStringLiteral("progressLabel"));
    m_progressText->setFont(WindowText::scaled(font(), kCaption));
    progress->addWidget(spinner);
    progress->addWidget(m_progressText);
    progress->addStretch(1);
    m_progress->hide();
    layout->addWidget(m_progress);

    m_detailsLayout->setContentsMargins(0, 0, 0, 0);
    m_detailsLayout->setSpacing(3);
    layout->addWidget(m_details);

    connect(m_range, &QButtonGroup::idClicked, this, &AccountUsagePanel::lookbackChanged);
    connect(m_validate, &QPushButton::clicked, this, &AccountUsagePanel::validateRequested);
    connect(m_fetch, &QPushButton::clicked, this, &AccountUsagePanel::fetchRequested);
    setState({}, 0);
}

void AccountUsagePanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // Side by side when both fit, the controls under the description otherwise.
    const int needed = m_titles->sizeHint().width() + m_controls->sizeHint().width() + 24;
    const auto direction = width() >= needed ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom;
    if (m_header->direction() != direction) m_header->setDirection(direction);
}

void AccountUsagePanel::setState(const ProviderAccountUsageState& state, std::int64_t nowMs) {
    const QString updated = updatedText(state, nowMs);
    if (m_hasState && state == m_state && updated == m_updatedText) return;
    m_hasState = true;
    m_state = state;
    m_updatedText = updated;

    const bool busy = state.isValidating || state.isFetching;
    if (QAbstractButton* checked = m_range->button(state.lookbackDays == 30 ? 30 : 7)) {
        checked->setChecked(true);
    }
    m_rangePicker->setEnabled(Text::hasUsageReport(m_provider) && !busy);
    m_validate->setEnabled(!busy);
    m_fetch->setEnabled(!busy);
    m_progress->setVisible(busy);
    m_progressText->setText(state.isValidating ? tr("Validating...") : tr("Fetching usage..."));
    rebuildDetails(nowMs);
}

QLabel* AccountUsagePanel::addLine(const QString& text, const char* name, const QColor* color) {
    QLabel* line = WindowText::label(text, m_details, kCaption);
    line->setObjectName(QString::fromLatin1(name));
    WindowText::setSelectable(line);
    WindowText::setColor(line, color ? *color : WindowText::secondary(this));
    m_detailsLayout->addWidget(line);
    return line;
}

void AccountUsagePanel::rebuildDetails(std::int64_t nowMs) {
    Q_UNUSED(nowMs);
    while (QLayoutItem* item = m_detailsLayout->takeAt(0)) {
        if (QWidget* widget = item->widget()) delete widget;
        if (QLayout* inner = item->layout()) {
            while (QLayoutItem* child = inner->takeAt(0)) {
                delete child->widget();
                delete child;
            }
        }
        delete item;
    }

    if (const auto& validation = m_state.validation) {
        const QColor color = validation->ok ? WindowText::green() : WindowText::red();
        auto* row = new QHBoxLayout;
        auto* mark =
            new QLabel(validation->ok ? QStringLiteral("✔") : QStringLiteral("✖"), m_details);
        WindowText::setColor(mark, color);
        row->addWidget(mark, 0, Qt::AlignTop);
        QLabel* text =
            WindowText::label(Text::validationText(m_provider, *validation), m_details, kCaption);
        text->setObjectName(QStringLiteral("validationText"));
        WindowText::setSelectable(text);
        row->addWidget(text, 1);
        m_detailsLayout->addLayout(row);
    }
    if (m_state.usageResult) addResult(*m_state.usageResult);
    if (m_state.errorMessage && !m_state.errorMessage->isEmpty()) {
        const QColor red = WindowText::red();
        addLine(*m_state.errorMessage, "stateError", &red);
    }
    if (!m_updatedText.isEmpty()) addLine(m_updatedText, "updatedLabel");
    m_details->setVisible(m_detailsLayout->count() > 0);
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
            {tr("Cost"), Text::cost(result.totalCostUsd())}};
        for (const auto& [label, value] : cells) {
            auto* cell = new LabelledFigure(label, value, m_details);
            cell->setObjectName(QStringLiteral("total") + label);
            totals->addWidget(cell);
        }
        totals->addStretch(1);
        m_detailsLayout->addLayout(totals);

        auto* table = new QWidget(m_details);
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
                Text::cost(bucket.costUsd)};
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
        m_detailsLayout->addWidget(table);
    } else if (result.ok && Text::hasUsageReport(m_provider)) {
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
