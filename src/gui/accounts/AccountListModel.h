#pragma once

#include <QPointer>

#include "accounts/ApiAccountModels.h"
#include "gui/widgets/SnapshotTableModel.h"

namespace qm {
class AccountStore;
}

namespace qm::gui {

// One account of the shown provider, and whether it is that provider's selected account.
struct AccountRowData {
    ApiAccountSummary summary;
    bool isSelected = false;
    bool operator==(const AccountRowData&) const = default;
};

// The accounts of one provider in store order, merged on every store change so the rows (and
// the widgets built for them) survive a refresh.
class AccountListModel : public SnapshotTableModel<AccountRowData> {
    Q_OBJECT
public:
    static constexpr int SummaryRole = Qt::UserRole + 1;

    explicit AccountListModel(AccountStore* store, QObject* parent = nullptr);

    ApiAccountProvider provider() const { return provider_; }
    void setProvider(ApiAccountProvider provider);
    // Re-reads the store.
    void refresh();

    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

protected:
    QString key(const AccountRowData& row) const override { return row.summary.id; }

private:
    std::vector<AccountRowData> read() const;

    QPointer<AccountStore> store_;
    ApiAccountProvider provider_ = ApiAccountProvider::gemini;
};

}  // namespace qm::gui
