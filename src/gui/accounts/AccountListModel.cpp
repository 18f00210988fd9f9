#include "gui/accounts/AccountListModel.h"

#include "accounts/AccountStore.h"

namespace qm::gui {

AccountListModel::AccountListModel(AccountStore* store, QObject* parent)
    : SnapshotTableModel(parent), store_(store) {
    if (store_) connect(store_, &AccountStore::changed, this, &AccountListModel::refresh);
    refresh();
}

void AccountListModel::setProvider(ApiAccountProvider provider) {
    if (provider == provider_) return;
    provider_ = provider;
    // Another provider's accounts, even one with an id seen in this list, are other rows:
    // a row widget made for this provider's account must not be kept for it.
    replace(read());
}

void AccountListModel::refresh() {
    merge(read());
}

std::vector<AccountRowData> AccountListModel::read() const {
    std::vector<AccountRowData> next;
    if (store_) {
        const std::optional<QString> selected = store_->selectedAccountId(provider_);
        for (ApiAccountSummary& summary : store_->summaries(provider_)) {
            const bool isSelected = selected && *selected == summary.id;
            next.push_back({std::move(summary), isSelected});
        }
    }
    return next;
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
