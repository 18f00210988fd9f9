#include "gui/accounts/AccountListModel.h"

#include "accounts/AccountStore.h"

namespace qm::gui {

AccountListModel::AccountListModel(AccountStore* store, QObject* parent)
    : SnapshotTableModel(parent), m_store(store) {
    if (m_store) connect(m_store, &AccountStore::changed, this, &AccountListModel::refresh);
    refresh();
}

void AccountListModel::setProvider(ApiAccountProvider provider) {
    if (provider == m_provider) return;
    m_provider = provider;
    refresh();
}

void AccountListModel::refresh() {
    std::vector<AccountRowData> next;
    if (m_store) {
        const std::optional<QString> selected = m_store->selectedAccountId(m_provider);
        for (ApiAccountSummary& summary : m_store->summaries(m_provider)) {
            const bool isSelected = selected && *selected == summary.id;
            next.push_back({std::move(summary), isSelected});
        }
    }
    merge(std::move(next));
}

int AccountListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 1;
}

QVariant AccountListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid)) return {};
    const AccountRowData& row = at(index.row());
    if (role == Qt::DisplayRole) {
        return row.summary.alias.isEmpty() ? tr("Untitled") : row.summary.alias;
    }
    if (role == SummaryRole) return row.summary.id;
    return {};
}

}  // namespace qm::gui
