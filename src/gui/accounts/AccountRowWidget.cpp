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

AccountRowWidget::AccountRowWidget(const AccountListModel* model, int row, QWidget* parent)
    : QFrame(parent),
      model_(model),
      index_(model->index(row, 0)),
      provider_(model->provider()),
      alias_(WindowText::label({}, this, 1.1, true)),
      primaryBadge_(new StatusBadge(tr("Primary"), this)),
      selectedBadge_(new StatusBadge(tr("Selected"), this)),
      inactiveBadge_(new StatusBadge(tr("Inactive"), this)),
      keyPreview_(new QLabel(this)),
      detail_(WindowText::label({}, this, 0.9)),
      active_(new QCheckBox(tr("Active"), this)),
      select_(new QPushButton(this)),
      primary_(new QPushButton(this)),
      delete_(new QToolButton(this)),
      usage_(new AccountUsagePanel(provider_, this)) {
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
    alias_->setObjectName(QStringLiteral("aliasLabel"));
    alias_->setWordWrap(false);
    title->addWidget(alias_);
    primaryBadge_->setObjectName(QStringLiteral("primaryBadge"));
    primaryBadge_->setColor(WindowText::yellow());
    selectedBadge_->setObjectName(QStringLiteral("selectedBadge"));
    inactiveBadge_->setObjectName(QStringLiteral("inactiveBadge"));
    inactiveBadge_->setColor(WindowText::secondary(this));
    title->addWidget(primaryBadge_);
    title->addWidget(selectedBadge_);
    title->addWidget(inactiveBadge_);
    title->addStretch(1);
    identity->addLayout(title);

    auto* second = new QHBoxLayout;
    second->setSpacing(10);
    keyPreview_->setObjectName(QStringLiteral("keyPreviewLabel"));
    keyPreview_->setTextFormat(Qt::PlainText);
    detail_->setObjectName(QStringLiteral("detailLabel"));
    detail_->setWordWrap(false);
    for (QLabel* label : {keyPreview_, detail_}) {
        WindowText::setColor(label, WindowText::secondary(this));
    }
    second->addWidget(keyPreview_);
    second->addWidget(detail_);
    second->addStretch(1);
    identity->addLayout(second);
    top->addLayout(identity, 1);

    active_->setObjectName(QStringLiteral("activeSwitch"));
    select_->setObjectName(QStringLiteral("selectButton"));
    primary_->setObjectName(QStringLiteral("primaryButton"));
    delete_->setObjectName(QStringLiteral("deleteButton"));
    delete_->setIcon(style()->standardIcon(QStyle::SP_TrashIcon));
    delete_->setAutoRaise(true);
    delete_->setToolTip(tr("Delete"));
    delete_->setAccessibleName(tr("Delete"));
    // The controls wrap under one another rather than lose the delete button off the edge.
    auto* controls = new QWidget(this);
    auto* flow = new FlowLayout(controls);
    for (QWidget* control : std::initializer_list<QWidget*>{active_, select_, primary_, delete_}) {
        control->setParent(controls);
        flow->addWidget(control);
    }
    top->addWidget(controls, 0, Qt::AlignVCenter);
    layout->addLayout(top);
    usage_->setObjectName(QStringLiteral("usagePanel"));
    layout->addWidget(usage_);

    connect(active_, &QCheckBox::toggled, this, &AccountRowWidget::activeRequested);
    connect(select_, &QPushButton::clicked, this, &AccountRowWidget::selectRequested);
    connect(primary_, &QPushButton::clicked, this, &AccountRowWidget::primaryRequested);
    connect(delete_, &QToolButton::clicked, this, &AccountRowWidget::deleteRequested);
    refresh();
}

QString AccountRowWidget::accountId() const {
    return index_.isValid() ? model_->at(index_.row()).summary.id : QString();
}

void AccountRowWidget::addBudgetEditor(QWidget* editor) {
    auto* rows = static_cast<QVBoxLayout*>(layout());
    rows->insertWidget(rows->indexOf(usage_), editor);
}

void AccountRowWidget::refresh() {
    if (!index_.isValid()) return;  // removed; the window deletes it
    const AccountRowData& row = model_->at(index_.row());
    const ApiAccountSummary& account = row.summary;
    alias_->setText(account.alias.isEmpty() ? tr("Untitled") : account.alias);
    primaryBadge_->setVisible(account.isPrimary);
    selectedBadge_->setVisible(row.isSelected);
    inactiveBadge_->setVisible(!account.isActive);

    keyPreview_->setText(account.keyPreview.isEmpty() ? tr("No key preview") : account.keyPreview);
    keyPreview_->setFont(account.keyPreview.isEmpty()
                             ? WindowText::scaled(font(), 0.9)
                             : WindowText::monospaced(WindowText::scaled(font(), 0.9)));
    const bool hasDetail = account.detail && !account.detail->isEmpty();
    detail_->setVisible(hasDetail);
    if (hasDetail) {
        detail_->setText(
            tr("%1: %2").arg(ProviderUsageText::detailLabel(provider_), *account.detail));
    }

    {
        const QSignalBlocker quiet(active_);
        active_->setChecked(account.isActive);
    }
    select_->setText(row.isSelected ? tr("✔ Select") : tr("○ Select"));
    select_->setEnabled(!row.isSelected);
    primary_->setText(account.isPrimary ? tr("★ Primary") : tr("☆ Primary"));
    primary_->setEnabled(!account.isPrimary);
}

}  // namespace qm::gui
