#include "gui/accounts/MachineListModel.h"
#include "core/DisplayFormat.h"

#include <QDateTime>

#include "gui/UsageText.h"
#include "hosts/HostReport.h"

namespace qm::gui {

MachineListModel::MachineListModel(hosts::RemoteHostStore* store, Clock now, QObject* parent)
    : SnapshotTableModel(parent), store_(store), now_(orSystemClock(std::move(now))) {
    if (store_) connect(store_, &hosts::RemoteHostStore::changed, this, &MachineListModel::refill);
    refill();
}

qint64 MachineListModel::now() const {
    return now_();
}

void MachineListModel::refill() {
    merge(store_ ? store_->hosts() : std::vector<hosts::HostStatus>());
}

void MachineListModel::touch() {
    if (rowCount() > 0)
        Q_EMIT dataChanged(index(0, statusColumn), index(rowCount() - 1, monthColumn));
}

int MachineListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : columnCountValue;
}

QString MachineListModel::statusText(const hosts::HostStatus& host, qint64 now) {
    if (host.checking) return tr("Checking…");
    if (host.problem.isEmpty())
        return host.readAtMs ? tr("Read %1").arg(UsageText::age(*host.readAtMs, now))
                             : tr("Not checked yet");
    // The reason starts with the machine's name, which the first column already shows.
    QString problem = host.problem;
    if (problem.startsWith(host.name + QStringLiteral(": ")))
        problem = problem.mid(host.name.size() + 2);
    if (!host.readAtMs) return problem;
    return tr("%1; figures from %2").arg(problem, UsageText::age(*host.readAtMs, now));
}

QVariant MachineListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const hosts::HostStatus& host = at(index.row());
    const QDate today = QDateTime::fromMSecsSinceEpoch(now()).date();
    const auto cost = [&](QDate since) -> QVariant {
        if (!host.readAtMs) return QStringLiteral("-");
        return DisplayFormat::money(
            hosts::figuresOf(host.report, std::nullopt, since, today).costUsd,
            MoneyPrecision::SubCent);
    };
    if (role == Qt::TextAlignmentRole && index.column() >= todayColumn)
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    if (role == Qt::ToolTipRole && index.column() == statusColumn) return host.problem;
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
        case nameColumn:
            return host.name;
        case statusColumn:
            return statusText(host, now());
        case todayColumn:
            return cost(today);
        case monthColumn:
            return cost(QDate(today.year(), today.month(), 1));
        default:
            return {};
    }
}

QVariant MachineListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case nameColumn:
            return tr("Machine");
        case statusColumn:
            return tr("Status");
        case todayColumn:
            return tr("Today");
        case monthColumn:
            return tr("This month");
        default:
            return {};
    }
}

}  // namespace qm::gui
