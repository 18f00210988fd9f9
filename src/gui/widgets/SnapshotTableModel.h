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
        return parent.isValid() ? 0 : int(m_rows.size());
    }
    const std::vector<Row>& rows() const { return m_rows; }
    const Row& at(int row) const { return m_rows[std::size_t(row)]; }

protected:
    virtual QString key(const Row& row) const = 0;

    void merge(std::vector<Row> next) {
        const auto keyOf = [this](const Row& row) { return key(row); };
        // Rows whose key is gone, from the back so indexes stay valid.
        for (int row = int(m_rows.size()) - 1; row >= 0; --row) {
            const QString k = key(m_rows[std::size_t(row)]);
            if (std::ranges::none_of(next, [&](const Row& n) { return keyOf(n) == k; })) {
                beginRemoveRows({}, row, row);
                m_rows.erase(m_rows.begin() + row);
                endRemoveRows();
            }
        }
        for (int row = 0; row < int(next.size()); ++row) {
            const QString k = key(next[std::size_t(row)]);
            const auto found = std::find_if(m_rows.begin() + row, m_rows.end(),
                                            [&](const Row& r) { return keyOf(r) == k; });
            if (found == m_rows.end()) {
                beginInsertRows({}, row, row);
                m_rows.insert(m_rows.begin() + row, next[std::size_t(row)]);
                endInsertRows();
                continue;
            }
            const int from = int(found - m_rows.begin());
            if (from != row) {
                beginMoveRows({}, from, from, {}, row);
                Row moved = std::move(*found);
                m_rows.erase(found);
                m_rows.insert(m_rows.begin() + row, std::move(moved));
                endMoveRows();
            }
            if (!(m_rows[std::size_t(row)] == next[std::size_t(row)])) {
                m_rows[std::size_t(row)] = next[std::size_t(row)];
                emit dataChanged(index(row, 0), index(row, columnCount() - 1));
            }
        }
    }

private:
    std::vector<Row> m_rows;
};

}  // namespace qm::gui
