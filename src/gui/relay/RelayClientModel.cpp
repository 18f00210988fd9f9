#include "gui/relay/RelayClientModel.h"

#include "core/DisplayFormat.h"

namespace qm::gui {

RelayClientModel::RelayClientModel(Clock now, QObject* parent)
    : SnapshotTableModel(parent), now_(std::move(now)) {}

void RelayClientModel::refreshSeen() {
    if (rowCount() > 0) Q_EMIT dataChanged(index(0, SeenColumn), index(rowCount() - 1, SeenColumn));
}

int RelayClientModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant RelayClientModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid)) return {};
    const GeminiRelayClientInfo& client = at(index.row());
    if (role == RemoteIpRole) return client.remoteIp;
    // Shown as text, a client's own words keep to one line and carry no control codes.
    if (role == Qt::ToolTipRole && index.column() == ClientColumn)
        return DisplayFormat::printable(client.userAgent);
    if (role == Qt::TextAlignmentRole && index.column() >= RequestsColumn) {
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    }
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
        case ClientColumn:
            return DisplayFormat::printable(client.displayName());
        case AliasColumn:
            return DisplayFormat::printable(client.accountAlias);
        case RequestsColumn:
            return DisplayFormat::formattedCount(client.requestCount);
        case SeenColumn:
            return DisplayFormat::relativeTime(client.lastSeenAt, now_());
        default:
            return {};
    }
}

QVariant RelayClientModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) return {};
    if (role == Qt::TextAlignmentRole && section >= RequestsColumn) {
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    }
    if (role != Qt::DisplayRole) return {};
    switch (section) {
        case ClientColumn:
            return tr("Client");
        case AliasColumn:
            return tr("Alias");
        case RequestsColumn:
            return tr("Requests");
        case SeenColumn:
            return tr("Seen");
        default:
            return {};
    }
}

}  // namespace qm::gui
