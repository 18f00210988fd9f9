#pragma once

#include <cstdint>
#include <functional>

#include "core/Clock.h"
#include "gui/widgets/SnapshotTableModel.h"
#include "relay/GeminiRelayServer.h"

namespace qm::gui {

// The relay's recent clients, newest activity first, one row per client id. Columns: client
// (display name, with the address under RemoteIpRole), alias, requests, and how long ago the
// client was last seen.
class RelayClientModel : public SnapshotTableModel<GeminiRelayClientInfo> {
    Q_OBJECT
public:
    enum Column { ClientColumn, AliasColumn, RequestsColumn, SeenColumn, ColumnCount };
    static constexpr int RemoteIpRole = Qt::UserRole + 1;

    explicit RelayClientModel(Clock now, QObject* parent = nullptr);

    void setClients(std::vector<GeminiRelayClientInfo> clients) { merge(std::move(clients)); }
    // The "Seen" column ages with the clock; this re-reads it.
    void refreshSeen();

    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

protected:
    QString key(const GeminiRelayClientInfo& client) const override { return client.id(); }

private:
    Clock now_;
};

}  // namespace qm::gui
