#include "gui/dashboard/PriceActions.h"

#include <QAction>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QMenu>
#include <algorithm>

#include "providers/PriceUpdateStore.h"

namespace qm::gui {

namespace {

// The menu's line: what is in effect, or that the last update failed; the reason is too long
// for a menu (an address and a network error) and goes to the tool tip.
QString shortStatus(const PriceUpdateStore& prices) {
    if (prices.isUpdating()) return QCoreApplication::translate("PriceActions", "Updating prices…");
    if (const auto last = prices.lastResult(); last && !last->ok)
        return QCoreApplication::translate("PriceActions", "Price update failed");
    return QCoreApplication::translate("PriceActions", "Prices: %1").arg(prices.sourceText());
}

}  // namespace

QString priceUpdateSentence(const PriceUpdateStore& prices) {
    if (prices.isUpdating()) return QCoreApplication::translate("PriceActions", "Updating prices…");
    const auto last = prices.lastResult();
    if (!last) return {};
    if (last->ok) {
        return last->rows == 1
                   ? QCoreApplication::translate("PriceActions", "Prices updated for 1 model.")
                   : QCoreApplication::translate("PriceActions", "Prices updated for %1 models.")
                         .arg(last->rows);
    }
    if (last->implausible)
        return QCoreApplication::translate(
            "PriceActions",
            "The new price list looks incomplete and was not used; the current "
            "prices stay in use.");
    return QCoreApplication::translate("PriceActions",
                                       "Could not update prices; the current prices stay in use.");
}

QString priceUpdateDetail(const PriceUpdateStore& prices) {
    const auto last = prices.lastResult();
    return last && !last->ok && !prices.isUpdating() ? last->error : QString();
}

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
    menu->setToolTipsVisible(true);

    const auto follow = [=] {
        update->setEnabled(!prices->isUpdating());
        weekly->setChecked(PriceUpdateStore::weeklyCheck());
        // Never wider than the menu's commands need, whatever the list's source says.
        const QFontMetrics metrics(menu->font());
        const int room =
            std::max(metrics.horizontalAdvance(update->text()), metrics.averageCharWidth() * 28);
        status->setText(metrics.elidedText(shortStatus(*prices), Qt::ElideRight, room));
        const QString detail = priceUpdateDetail(*prices);
        status->setToolTip(detail.isEmpty() ? prices->statusText() : detail);
    };
    follow();
    QObject::connect(prices, &PriceUpdateStore::changed, menu, follow);
    QObject::connect(update, &QAction::triggered, prices, [prices] { prices->update(); });
    QObject::connect(weekly, &QAction::toggled, prices, &PriceUpdateStore::setWeeklyCheck);
}

}  // namespace qm::gui
