#include "gui/dashboard/PriceActions.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>

#include "providers/PriceUpdateStore.h"

namespace qm::gui {

void addPriceActions(QMenu* menu, PriceUpdateStore* prices) {
    auto* update = menu->addAction(QCoreApplication::translate("PriceActions", "Update Prices"));
    update->setObjectName(QStringLiteral("updatePrices"));
    auto* weekly =
        menu->addAction(QCoreApplication::translate("PriceActions", "Check Prices Weekly"));
    weekly->setObjectName(QStringLiteral("checkPricesWeekly"));
    weekly->setCheckable(true);
    auto* status = menu->addAction(QString());
    status->setObjectName(QStringLiteral("priceStatus"));
    status->setEnabled(false);  // information, not a command

    const auto follow = [=] {
        update->setEnabled(!prices->isUpdating());
        weekly->setChecked(PriceUpdateStore::weeklyCheck());
        const QString outcome = prices->statusText();
        status->setText(outcome.isEmpty()
                            ? QCoreApplication::translate("PriceActions", "Prices: %1")
                                  .arg(prices->sourceText())
                            : outcome);
        status->setToolTip(outcome);
    };
    follow();
    QObject::connect(prices, &PriceUpdateStore::changed, menu, follow);
    QObject::connect(update, &QAction::triggered, prices, [prices] { prices->update(); });
    QObject::connect(weekly, &QAction::toggled, prices, &PriceUpdateStore::setWeeklyCheck);
}

}  // namespace qm::gui
