#pragma once

#include <QWidget>

#include "core/UsageModels.h"

class QLabel;

namespace qm::ledger {
class LocalUsageStore;
}
namespace qm::hosts {
class RemoteHostStore;
}

namespace qm::gui {

// A tool card's "Today" and "This month" cost lines, over all of the tool's logs (local days
// and months), from the usage index, plus the other machines' last figures when there are
// any, with one line per machine in the tool tip.
class ToolCostLines : public QWidget {
    Q_OBJECT
public:
    explicit ToolCostLines(QWidget* parent = nullptr);

    // Without a store, or before its first update, the lines show a dash.
    void show(const ledger::LocalUsageStore* store, ProviderKind tool, TimeMs now,
              const hosts::RemoteHostStore* remoteHosts = nullptr);
    using QWidget::show;

private:
    QLabel* today_;
    QLabel* month_;
};

}  // namespace qm::gui
