#pragma once

#include <QString>

class QMenu;

namespace qm {
class PriceUpdateStore;
}

namespace qm::gui {

// Adds the price entries to a window's menu: "Update Prices", the weekly check and a short line
// with the list in effect or the last update's outcome (its whole reason in the tool tip). The
// entries follow the store.
void addPriceActions(QMenu* menu, PriceUpdateStore* prices);

// The last price update, for a status line: one plain sentence, or nothing before the first
// update of this run.
QString priceUpdateSentence(const PriceUpdateStore& prices);
// What went wrong, in the store's words, or nothing.
QString priceUpdateDetail(const PriceUpdateStore& prices);

}  // namespace qm::gui
