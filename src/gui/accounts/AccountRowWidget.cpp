#include "gui/accounts/AccountRowWidget.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "gui/accounts/AccountUsagePanel.h"
#include "gui/widgets/FlowLayout.h"
#include "gui/widgets/StatusBadge.h"
#include "gui/widgets/WindowTextStyles.h"
#include "providers/ProviderUsageText.h"

namespace qm::gui {

AccountRowWidget::AccountRowWidget(ApiAccountProvider provider, const AccountRowData& row,
                                   QWidget* parent)
    : QFrame(parent),
      m_provider(provider),
      m_alias(WindowText::label({}, this, 1.1, true)),
      m_primaryBadge(new StatusBadge(tr("Primary"), this)),
      m_selectedBadge(new StatusBadge(tr("Selected"), this)),
      m_inactiveBadge(new StatusBadge(tr("Inactive"), this)),
      m_keyPreview(new QLabel(this)),
      m_detail(WindowText::label({}, this, 0.9)),
      m_active(new QCheckBox(tr("Active"), this)),
      m_select(new QPushButton(this)),
      m_primary(new QPushButton(this)),
      m_delete(new QToolButton(this)),
      m_usage(new AccountUsagePanel(provider, this)) {
    setObjectName(QStringLiteral("accountRow"));
    setFrameShape(QFrame::StyledPanel);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 10, 12, 10);
    layout->setSpacing(4);

    auto* top = new QHBoxLayout;
    auto* identity = new QVBoxLayout;
    identity->setSpacing(2);
    auto* title = new QHBoxLayout;
    title->setSpacing(6);
    m_alias->setObjectName(QStringLiteral("aliasLabel"));
    m_alias->setWordWrap(false);
    title->addWidget(m_alias);
    m_primaryBadge->setObjectName(QStringLiteral("primaryBadge"));
    m_primaryBadge->setColor(WindowText::yellow());
    m_selectedBadge->setObjectName(QStringLiteral("selectedBadge"));
    m_inactiveBadge->setObjectName(QStringLiteral("inactiveBadge"));
    m_inactiveBadge->setColor(WindowText::secondary(this));
    title->addWidget(m_primaryBadge);
    title->addWidget(m_selectedBadge);
    title->addWidget(m_inactiveBadge);
    title->addStretch(1);
    identity->addLayout(title);

    auto* second = new QHBoxLayout;
    second->setSpacing(10);
    m_keyPreview->setObjectName(QStringLiteral("keyPreviewLabel"));
    m_keyPreview->setTextFormat(Qt::PlainText);
    m_detail->setObjectName(QStringLiteral("detailLabel"));
    m_detail->setWordWrap(false);
    for (QLabel* label : {m_keyPreview, m_detail}) {
        WindowText::setColor(label, WindowText::secondary(this));
    }
    second->addWidget(m_keyPreview);
    second->addWidget(m_detail);
    second->addStretch(1);
    identity->addLayout(second);
    top->addLayout(identity, 1);

    m_active->setObjectName(QStringLiteral("activeSwitch"));
    m_select->setObjectName(QStringLiteral("selectButton"));
    m_primary->setObjectName(QStringLiteral("primaryButton"));
    m_delete->setObjectName(QStringLiteral("deleteButton"));
    m_delete->setIcon(style()->standardIcon(QStyle::SP_TrashIcon));
    m_delete->setAutoRaise(true);
    m_delete->setToolTip(tr("Delete"));
    m_delete->setAccessibleName(tr("Delete"));
    // The controls wrap under one another rather than lose the delete button off the edge.
    auto* controls = new QWidget(this);
    auto* flow = new FlowLayout(controls);
    for (QWidget* control :
         std::initializer_list<QWidget*>{m_active, m_select, m_primary, m_delete}) {
        control->setParent(controls);
        flow->addWidget(control);
    }
    top->addWidget(controls, 0, Qt::AlignVCenter);
    layout->addLayout(top);
    m_usage->setObjectName(QStringLiteral("usagePanel"));
    layout->addWidget(m_usage);

    connect(m_active, &QCheckBox::toggled, this, &AccountRowWidget::activeRequested);
    connect(m_select, &QPushButton::clicked, this, &AccountRowWidget::selectRequested);
    connect(m_primary, &QPushButton::clicked, this, &AccountRowWidget::primaryRequested);
    connect(m_delete, &QToolButton::clicked, this, &AccountRowWidget::deleteRequested);
    setRow(row);
}

void AccountRowWidget::addBudgetEditor(QWidget* editor) {
    auto* rows = static_cast<QVBoxLayout*>(layout());
    rows->insertWidget(rows->indexOf(m_usage), editor);
}

void AccountRowWidget::setRow(const AccountRowData& row) {
    m_row = row;
    const ApiAccountSummary& account = row.summary;
    m_alias->setText(account.alias.isEmpty() ? tr("Untitled") : account.alias);
    m_primaryBadge->setVisible(account.isPrimary);
    m_selectedBadge->setVisible(row.isSelected);
    m_inactiveBadge->setVisible(!account.isActive);

    m_keyPreview->setText(account.keyPreview.isEmpty() ? tr("No key preview") : account.keyPreview);
    m_keyPreview->setFont(account.keyPreview.isEmpty()
                              ? WindowText::scaled(font(), 0.9)
                              : WindowText::monospaced(WindowText::scaled(font(), 0.9)));
    const bool hasDetail = account.detail && !account.detail->isEmpty();
    m_detail->setVisible(hasDetail);
    if (hasDetail) {
        m_detail->setText(ProviderUsageText::detailLabel(m_provider) + QStringLiteral(": ") +
                          *account.detail);
    }

    {
        const QSignalBlocker quiet(m_active);
        m_active->setChecked(account.isActive);
    }
    m_select->setText(row.isSelected ? tr("✔ Select") : tr("○ Select"));
    m_select->setEnabled(!row.isSelected);
    m_primary->setText(account.isPrimary ? tr("★ Primary") : tr("☆ Primary"));
    m_primary->setEnabled(!account.isPrimary);
}

}  // namespace qm::gui
