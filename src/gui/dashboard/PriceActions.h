#pragma once

class QMenu;

namespace qm {
class PriceUpdateStore;
}

namespace qm::gui {

// Adds the price entries to a window's menu: "Update Prices", the weekly check and a line with
// the list in effect and the last update's outcome. The entries follow the store.
void addPriceActions(QMenu* menu, PriceUpdateStore* prices);

}  // namespace qm::gui
