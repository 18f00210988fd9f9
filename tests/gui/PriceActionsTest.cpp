#include <QAction>
#include <QLabel>
#include <QMenu>

#include "DesktopFixture.h"
#include "gui/dashboard/PriceActions.h"
#include "gui/dashboard/ProviderCard.h"
#include "providers/PriceUpdateStore.h"
#include "support/FakeProviderServer.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

TEST(PriceActionsTest, TheCardSaysHowManyModelsItCouldNotPrice) {
    ProviderUsage usage = ProviderUsage::placeholder(ProviderKind::claudeCode);
    usage.costTotal = 1.5;
    usage.unpricedModels = {QStringLiteral("claude-private-1"), QStringLiteral("claude-next")};
    ProviderCard card;
    card.show(usage, 0);
    auto* cost = card.findChild<QLabel*>("cost");
    ASSERT_TRUE(cost);
    EXPECT_TRUE(cost->text().endsWith(" · 2 models unpriced")) << cost->text().toStdString();
    EXPECT_EQ(cost->toolTip(), "claude-private-1, claude-next");
    card.resize(260, 400);
    card.CardFrame::show();
    layOut(&card);
    saveScreenshot(&card, QStringLiteral("provider-card-unpriced"));
    usage.unpricedModels.clear();
    card.show(usage, 0);
    EXPECT_FALSE(cost->text().contains("unpriced"));
}

TEST(PriceActionsTest, UpdatePricesFollowsTheStoreAndTheWeeklyCheckIsOffByDefault) {
    QSettings(QStringLiteral("Quotameter"), QStringLiteral("Quotameter")).clear();
    FakeProviderServer server;
    ASSERT_TRUE(server.listen());
    TempDir data;
    // The list in effect again: an update that drops models is refused.
    const PriceTable list = PriceBook::maintainedList(data.path());
    server.route("/list.json", FakeProviderResponse::json(200, list.toJson("2026-12-07")));
    PriceUpdateStore store(data.path(), server.baseUrl() + "/list.json");
    QMenu menu;
    addPriceActions(&menu, &store);
    auto* update = menu.findChild<QAction*>("updatePrices");
    auto* weekly = menu.findChild<QAction*>("checkPricesWeekly");
    auto* status = menu.findChild<QAction*>("priceStatus");
    ASSERT_TRUE(update && weekly && status);
    EXPECT_EQ(update->text(), "Update Prices");
    EXPECT_FALSE(weekly->isChecked());
    EXPECT_TRUE(status->text().startsWith("Prices: bundled ")) << status->text().toStdString();

    update->trigger();
    EXPECT_FALSE(update->isEnabled());  // one update at a time
    ASSERT_TRUE(waitUntil([&] { return !store.isUpdating(); }));
    EXPECT_TRUE(update->isEnabled());
    EXPECT_EQ(status->text(), QStringLiteral("Prices updated: %1 models").arg(list.rows().size()));

    weekly->trigger();
    EXPECT_TRUE(PriceUpdateStore::weeklyCheck());
    EXPECT_EQ(server.requests().size(), 1u);  // checked a moment ago: nothing due
    PriceBook::setCurrent(PriceBook::bundled());
}

}  // namespace
