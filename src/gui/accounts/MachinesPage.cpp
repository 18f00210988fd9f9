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

MachinesPage::MachinesPage(hosts::RemoteHostStore* store, QWidget* parent,
                           MachineListModel::Clock now)
    : QWidget(parent),
      m_store(store),
      m_model(new MachineListModel(store, std::move(now), this)),
      m_name(new QLineEdit(this)),
      m_add(new QPushButton(tr("Add"), this)),
      m_error(WindowText::label({}, this, 0.9)),
      m_table(new QTableView(this)),
      m_remove(new QPushButton(tr("Remove"), this)),
      m_check(new QPushButton(tr("Check now"), this)) {
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
    m_name->setObjectName(QStringLiteral("hostNameField"));
    m_name->setPlaceholderText(tr("devbox or user@workstation"));
    m_name->setAccessibleName(tr("Machine"));
    m_add->setObjectName(QStringLiteral("addHostButton"));
    entry->addWidget(m_name, 1);
    entry->addWidget(m_add);
    layout->addLayout(entry);
    m_error->setObjectName(QStringLiteral("hostError"));
    m_error->setWordWrap(true);
    m_error->hide();
    layout->addWidget(m_error);

    m_table->setObjectName(QStringLiteral("machineTable"));
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->verticalHeader()->hide();
    m_table->setWordWrap(false);
    m_table->horizontalHeader()->setSectionResizeMode(MachineListModel::statusColumn,
                                                      QHeaderView::Stretch);
    m_table->horizontalHeader()->setSectionResizeMode(MachineListModel::nameColumn,
                                                      QHeaderView::ResizeToContents);
    layout->addWidget(m_table, 1);

    auto* buttons = new QHBoxLayout;
    m_remove->setObjectName(QStringLiteral("removeHostButton"));
    m_check->setObjectName(QStringLiteral("checkHostsButton"));
    buttons->addWidget(m_remove);
    buttons->addStretch(1);
    buttons->addWidget(m_check);
    layout->addLayout(buttons);

    connect(m_add, &QPushButton::clicked, this, &MachinesPage::add);
    connect(m_name, &QLineEdit::returnPressed, this, &MachinesPage::add);
    connect(m_remove, &QPushButton::clicked, this, &MachinesPage::removeSelected);
    connect(m_check, &QPushButton::clicked, this, [this] {
        if (m_store) m_store->refresh();
    });
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MachinesPage::updateButtons);
    connect(m_model, &QAbstractItemModel::modelReset, this, &MachinesPage::updateButtons);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &MachinesPage::updateButtons);
    connect(m_model, &QAbstractItemModel::dataChanged, this, &MachinesPage::updateButtons);
    connect(m_model, &QAbstractItemModel::rowsInserted, this, &MachinesPage::updateButtons);
    // "Read 5m ago" ages by the minute.
    auto* clock = new QTimer(this);
    clock->setInterval(30'000);
    connect(clock, &QTimer::timeout, m_model, &MachineListModel::touch);
    clock->start();
    updateButtons();
}

void MachinesPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_store) m_store->reload();
}

void MachinesPage::add() {
    if (!m_store) return;
    const QString error = m_store->add(m_name->text().trimmed());
    m_error->setText(error);
    m_error->setVisible(!error.isEmpty());
    if (error.isEmpty()) m_name->clear();
}

void MachinesPage::removeSelected() {
    const QModelIndexList rows = m_table->selectionModel()->selectedRows();
    if (!m_store || rows.isEmpty()) return;
    const QString error = m_store->remove(m_model->at(rows.first().row()).name);
    m_error->setText(error);
    m_error->setVisible(!error.isEmpty());
}

void MachinesPage::updateButtons() {
    m_remove->setEnabled(m_table->selectionModel()->hasSelection());
    const bool checking = m_store && m_store->isChecking();
    m_check->setEnabled(m_store && !checking && m_model->rowCount() > 0);
}

}  // namespace qm::gui
