#include "gui/accounts/MachinesPage.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include "gui/widgets/WindowTextStyles.h"

namespace qm::gui {

MachinesPage::MachinesPage(hosts::RemoteHostStore* store, QWidget* parent, Clock now)
    : QWidget(parent),
      store_(store),
      model_(new MachineListModel(store, std::move(now), this)),
      name_(new QLineEdit(this)),
      add_(new QPushButton(tr("Add"), this)),
      error_(WindowText::label({}, this, 0.9)),
      table_(new QTableView(this)),
      remove_(new QPushButton(tr("Remove"), this)),
      check_(new QPushButton(tr("Check now"), this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* intro = WindowText::label(
        tr("Usage on your other machines, read through ssh with your own keys: each needs "
           "quotameter-cli installed and a login without a password."),
        this, 0.9);
    intro->setWordWrap(true);
    WindowText::setColor(intro, WindowText::secondary(this));
    layout->addWidget(intro);

    auto* entry = new QHBoxLayout;
    name_->setObjectName(QStringLiteral("hostNameField"));
    name_->setPlaceholderText(tr("devbox or user@workstation"));
    name_->setAccessibleName(tr("Machine"));
    add_->setObjectName(QStringLiteral("addHostButton"));
    entry->addWidget(name_, 1);
    entry->addWidget(add_);
    layout->addLayout(entry);
    error_->setObjectName(QStringLiteral("hostError"));
    error_->setWordWrap(true);
    error_->hide();
    layout->addWidget(error_);

    table_->setObjectName(QStringLiteral("machineTable"));
    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->verticalHeader()->hide();
    table_->setWordWrap(false);
    table_->horizontalHeader()->setSectionResizeMode(MachineListModel::statusColumn,
                                                     QHeaderView::Stretch);
    table_->horizontalHeader()->setSectionResizeMode(MachineListModel::nameColumn,
                                                     QHeaderView::ResizeToContents);
    layout->addWidget(table_, 1);

    auto* buttons = new QHBoxLayout;
    remove_->setObjectName(QStringLiteral("removeHostButton"));
    check_->setObjectName(QStringLiteral("checkHostsButton"));
    buttons->addWidget(remove_);
    buttons->addStretch(1);
    buttons->addWidget(check_);
    layout->addLayout(buttons);

    connect(add_, &QPushButton::clicked, this, &MachinesPage::add);
    connect(name_, &QLineEdit::returnPressed, this, &MachinesPage::add);
    connect(remove_, &QPushButton::clicked, this, &MachinesPage::removeSelected);
    connect(check_, &QPushButton::clicked, this, [this] {
        if (store_) store_->refresh();
    });
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MachinesPage::updateButtons);
    connect(model_, &QAbstractItemModel::modelReset, this, &MachinesPage::updateButtons);
    connect(model_, &QAbstractItemModel::rowsRemoved, this, &MachinesPage::updateButtons);
    connect(model_, &QAbstractItemModel::dataChanged, this, &MachinesPage::updateButtons);
    connect(model_, &QAbstractItemModel::rowsInserted, this, &MachinesPage::updateButtons);
    // "Read 5m ago" ages by the minute.
    auto* clock = new QTimer(this);
    clock->setInterval(30'000);
    connect(clock, &QTimer::timeout, model_, &MachineListModel::touch);
    clock->start();
    updateButtons();
}

void MachinesPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (store_) store_->reload();
}

void MachinesPage::add() {
    if (!store_) return;
    const QString error = store_->add(name_->text().trimmed());
    error_->setText(error);
    error_->setVisible(!error.isEmpty());
    if (error.isEmpty()) name_->clear();
}

void MachinesPage::removeSelected() {
    const QModelIndexList rows = table_->selectionModel()->selectedRows();
    if (!store_ || rows.isEmpty()) return;
    const QString error = store_->remove(model_->at(rows.first().row()).name);
    error_->setText(error);
    error_->setVisible(!error.isEmpty());
}

void MachinesPage::updateButtons() {
    remove_->setEnabled(table_->selectionModel()->hasSelection());
    const bool checking = store_ && store_->isChecking();
    check_->setEnabled(store_ && !checking && model_->rowCount() > 0);
}

}  // namespace qm::gui
