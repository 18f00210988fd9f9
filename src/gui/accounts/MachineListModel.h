#pragma once

#include <QPointer>
#include <functional>

#include "core/Clock.h"
#include "gui/widgets/SnapshotTableModel.h"
#include "hosts/RemoteHostStore.h"

namespace qm::gui {

// The other machines as a table: name, state of the last check with the age of the figures,
// and today's and this month's cost there. Merges the store's next list on changed().
class MachineListModel : public SnapshotTableModel<hosts::HostStatus> {
    Q_OBJECT
public:
    enum Column { nameColumn, statusColumn, todayColumn, monthColumn, columnCountValue };

    explicit MachineListModel(hosts::RemoteHostStore* store, Clock now = {},
                              QObject* parent = nullptr);

    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // "Checking…", "Read 5m ago", or the problem and how old the figures shown are.
    static QString statusText(const hosts::HostStatus& host, qint64 now);
    // Refreshes the ages ("5m ago") without a change in the store.
    void touch();

private:
    QString key(const hosts::HostStatus& row) const override { return row.name; }
    void refill();
    qint64 now() const;

    QPointer<hosts::RemoteHostStore> store_;
    Clock now_;
};

}  // namespace qm::gui
