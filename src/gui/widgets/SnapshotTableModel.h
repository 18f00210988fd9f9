#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <algorithm>
#include <vector>

namespace qm::gui {

// A table over a snapshot of records that takes the next snapshot by merging it: rows that
// went away are removed, new ones inserted, reordered ones moved and changed ones reported by
// dataChanged, so selection and scroll position survive a refresh. Rows are matched by key().
template <typename Row>
class SnapshotTableModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : int(rows_.size());
    }
    const std::vector<Row>& rows() const { return rows_; }
    const Row& at(int row) const { return rows_[std::size_t(row)]; }

protected:
    virtual QString key(const Row& row) const = 0;

    // Takes a snapshot that is not the next state of the rows shown (another list altogether):
    // a reset, so views drop every row rather than match them by key.
    void replace(std::vector<Row> next) {
        beginResetModel();
        rows_ = std::move(next);
        endResetModel();
    }

    void merge(std::vector<Row> next) {
        const auto keyOf = [this](const Row& row) { return key(row); };
        // Rows whose key is gone, from the back so indexes stay valid.
        for (int row = int(rows_.size()) - 1; row >= 0; --row) {
            const QString k = key(rows_[std::size_t(row)]);
            if (std::ranges::none_of(next, [&](const Row& n) { return keyOf(n) == k; })) {
                beginRemoveRows({}, row, row);
                rows_.erase(rows_.begin() + row);
                endRemoveRows();
            }
        }
        for (int row = 0; row < int(next.size()); ++row) {
            const QString k = key(next[std::size_t(row)]);
            const auto found = std::find_if(rows_.begin() + row, rows_.end(),
                                            [&](const Row& r) { return keyOf(r) == k; });
            if (found == rows_.end()) {
                beginInsertRows({}, row, row);
                rows_.insert(rows_.begin() + row, next[std::size_t(row)]);
                endInsertRows();
                continue;
            }
            const int from = int(found - rows_.begin());
            if (from != row) {
                beginMoveRows({}, from, from, {}, row);
                Row moved = std::move(*found);
                rows_.erase(found);
                rows_.insert(rows_.begin() + row, std::move(moved));
                endMoveRows();
            }
            if (!(rows_[std::size_t(row)] == next[std::size_t(row)])) {
                rows_[std::size_t(row)] = next[std::size_t(row)];
                Q_EMIT dataChanged(index(row, 0), index(row, columnCount() - 1));
            }
        }
    }

private:
    std::vector<Row> rows_;
};

}  // namespace qm::gui
