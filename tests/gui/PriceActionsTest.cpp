#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QStyleOptionButton>

#include "DarkPalette.h"
#include "DesktopFixture.h"
#include "gui/dashboard/DashboardWindow.h"
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
    // Nothing priced: no $0 that reads as free.
    usage.costTotal = 0;
    card.show(usage, 0);
    EXPECT_EQ(cost->text(), "2 models unpriced");
    usage.costTotal = 1.5;
    card.show(usage, 0);
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
    EXPECT_TRUE(status->text().startsWith("Prices: updated ")) << status->text().toStdString();

    weekly->trigger();
    EXPECT_TRUE(PriceUpdateStore::weeklyCheck());
    EXPECT_EQ(server.requests().size(), 1u);  // checked a moment ago: nothing due
    PriceBook::setCurrent(PriceBook::bundled());
}

// The dashboard with its settings menu over a price store that asks the fake server.
class PricesOnDashboardTest : public DesktopFixture {
protected:
    PricesOnDashboardTest() { window.setPrices(&store); }
    ~PricesOnDashboardTest() override { PriceBook::setCurrent(PriceBook::bundled()); }

    FakeProviderServer server;
    bool listening = server.listen();  // before the store takes its address
    TempDir prices;
    PriceTable list = PriceBook::maintainedList(prices.path());
    PriceUpdateStore store{prices.path(), server.baseUrl() + "/list.json"};
    DashboardWindow window{&aggregator, &claude, &preferences, [](const QString&) {}};
};

TEST_F(PricesOnDashboardTest, UpdatePricesSaysHowItWentInTheStatusLine) {
    ASSERT_TRUE(listening);
    auto* outcome = window.findChild<QLabel*>("priceOutcome");
    auto* status = window.menu()->findChild<QAction*>("priceStatus");
    ASSERT_TRUE(outcome && status);
    EXPECT_FALSE(outcome->isVisibleTo(&window));  // nothing to say before an update
    const int menuWidth = window.menu()->sizeHint().width();

    // The server is down: one plain sentence, the raw reason only in the tool tips, and the
    // menu as wide as it was.
    server.route("/list.json", FakeProviderResponse::text(502, "<html>Bad gateway</html>"));
    window.menu()->findChild<QAction*>("updatePrices")->trigger();
    ASSERT_TRUE(waitUntil([&] { return !store.isUpdating(); }));
    EXPECT_TRUE(outcome->isVisibleTo(&window));
    EXPECT_EQ(outcome->text(), "Could not update prices; the current prices stay in use.");
    EXPECT_TRUE(outcome->toolTip().contains(server.baseUrl())) << outcome->toolTip().toStdString();
    EXPECT_EQ(status->text(), "Price update failed");
    EXPECT_TRUE(status->toolTip().contains("502")) << status->toolTip().toStdString();
    EXPECT_LE(window.menu()->sizeHint().width(), menuWidth);
    window.resize(900, 600);
    window.show();
    layOut(&window);
    saveScreenshot(&window, QStringLiteral("dashboard-price-update-failed"));

    // A list that drops most models is refused, and says so.
    const QJsonObject whole = QJsonDocument::fromJson(list.toJson("2026-12-07")).object();
    const QString kept = list.rows().front().model;
    server.route("/list.json",
                 FakeProviderResponse::json(
                     200, QJsonDocument(QJsonObject{{kept, whole.value(kept)}}).toJson()));
    window.menu()->findChild<QAction*>("updatePrices")->trigger();
    ASSERT_TRUE(waitUntil([&] { return !store.isUpdating(); }));
    EXPECT_EQ(outcome->text(),
              "The new price list looks incomplete and was not used; the current prices stay in "
              "use.");

    server.route("/list.json", FakeProviderResponse::json(200, list.toJson("2026-12-07")));
    window.menu()->findChild<QAction*>("updatePrices")->trigger();
    ASSERT_TRUE(waitUntil([&] { return !store.isUpdating(); }));
    EXPECT_EQ(outcome->text(),
              QStringLiteral("Prices updated for %1 models.").arg(list.rows().size()));
    EXPECT_EQ(outcome->toolTip(), QString());
    EXPECT_TRUE(status->text().startsWith("Prices: updated ")) << status->text().toStdString();
}

// How far the lightness of two colours is apart, 0 to 1.
double lightnessGap(const QColor& a, const QColor& b) {
    return std::abs(a.lightnessF() - b.lightnessF());
}

// The largest gap between the unchecked box's outline and the pixel just outside it.
double boxContrast(QCheckBox* box) {
    QStyleOptionButton option;
    option.initFrom(box);
    const QRect indicator =
        box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
    const QImage image = box->grab().toImage();
    const QColor outside =
        image.pixelColor(indicator.left() > 0 ? 0 : indicator.right() + 2, indicator.center().y());
    double gap = 0;
    for (int x = indicator.left(); x <= indicator.right(); ++x) {
        gap = std::max(gap, lightnessGap(image.pixelColor(x, indicator.top()), outside));
    }
    return gap;
}

TEST_F(PricesOnDashboardTest, UncheckedBoxesShowOnLightAndDarkPalettes) {
    const QPalette saved = QApplication::palette();
    const QPalette dark = test::darkPalette();
    auto* mascot = window.findChild<QCheckBox*>("mascotSwitch");
    ASSERT_TRUE(mascot);
    mascot->setChecked(false);
    QMenu* menu = window.menu();
    QAction* weekly = menu->findChild<QAction*>("checkPricesWeekly");
    ASSERT_FALSE(weekly->isChecked());
    for (const QPalette& palette : {saved, dark}) {
        QApplication::setPalette(palette);
        const std::string name = palette.color(QPalette::Window).name().toStdString();
        menu->popup(QPoint(40, 40));
        layOut(menu);
        // The box beside "Mascot", in the settings menu's panel.
        EXPECT_GT(boxContrast(mascot), 0.12) << name;
        // "Check Prices Weekly": some pixel in the check column stands out from the menu.
        const QImage image = menu->grab().toImage();
        const QRect item = menu->actionGeometry(weekly);
        const QColor background = image.pixelColor(item.right() - 2, item.center().y());
        double gap = 0;
        for (int x = item.left(); x < item.left() + item.height(); ++x) {
            for (int y = item.top(); y <= item.bottom(); ++y)
                gap = std::max(gap, lightnessGap(image.pixelColor(x, y), background));
        }
        EXPECT_GT(gap, 0.12) << name;
        saveScreenshot(
            menu, QStringLiteral("settings-menu-%1")
                      .arg(palette == saved ? QStringLiteral("light") : QStringLiteral("dark")));
        menu->hide();
    }
    QApplication::setPalette(saved);
}

}  // namespace
