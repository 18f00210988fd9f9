#include <QComboBox>
#include <QLabel>
#include <QScrollArea>

#include "DesktopFixture.h"
#include "core/DisplayFormat.h"
#include "gui/UsageText.h"
#include "gui/dashboard/DashboardWindow.h"
#include "gui/trends/LocalToolsSection.h"
#include "gui/trends/TrendSection.h"
#include "gui/trends/TrendsWindow.h"
#include "gui/widgets/LabelledFigure.h"
#include "ledger/LocalUsageStore.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

class LocalUsageLinesTest : public DesktopFixture {
protected:
    test::TempDir cache;
    ledger::LocalUsageStore localUsage{
        ledger::UsageLedger(cache.path(), ledger::LedgerSources::forHome(home.path()))};
};

TEST_F(LocalUsageLinesTest, CardsShowTodayAndThisMonthFromTheIndex) {
    DashboardWindow window(&aggregator, &claude, &preferences, [](const QString&) {});
    window.setLocalUsage(&localUsage);
    auto* claudeCode = window.findChild<QWidget*>("card_Claude Code");
    ASSERT_TRUE(claudeCode);
    EXPECT_EQ(claudeCode->findChild<QLabel*>("todayCost")->text(), "-");

    // A second refresh while one runs does nothing; the first one publishes.
    localUsage.refreshInBackground();
    QCoro::waitFor(localUsage.refresh());
    ASSERT_TRUE(waitUntil([&] { return !localUsage.isIndexing(); }));
    ASSERT_TRUE(localUsage.lastUpdateAt());

    // The sample's calls are minutes old: today's cost is this month's, and it is the index's.
    const TimeMs now = QDateTime::currentMSecsSinceEpoch();
    const double cost =
        localUsage.figures(ProviderKind::claudeCode, now - 86'400'000, now + 3'600'000).costUsd;
    EXPECT_GT(cost, 0);
    const QString expected = DisplayFormat::money(cost, MoneyPrecision::SubCent);
    EXPECT_EQ(claudeCode->findChild<QLabel*>("todayCost")->text(), expected);
    EXPECT_EQ(claudeCode->findChild<QLabel*>("monthCost")->text(), expected);
    EXPECT_FALSE(window.findChild<QLabel*>("lastRefresh")->text().contains("Indexing"));

    window.resize(1300, 760);
    window.show();
    ASSERT_TRUE(waitUntil([&] { return aggregator.lastRefreshAt() && !claude.isRefreshing(); }))
        << "the first scan and Claude fetch never ended";
    layOut(&window);
    saveScreenshot(&window, QStringLiteral("dashboard-cost-lines-wide"));
    window.resize(window.minimumWidth(), 760);
    layOut(&window);
    saveScreenshot(&window, QStringLiteral("dashboard-cost-lines-narrow"));
}

}  // namespace

namespace {

TEST_F(LocalUsageLinesTest, TrendsShowTheLocalToolsDailyCostAndSummary) {
    TrendsWindow window(&history);
    window.setLocalUsage(&localUsage);
    auto* section = window.findChild<LocalToolsSection*>("localTools");
    ASSERT_TRUE(section);
    EXPECT_TRUE(window.findChild<TrendSection*>("localToolsSection")->isEmpty());

    QCoro::waitFor(localUsage.refresh());
    EXPECT_FALSE(window.findChild<TrendSection*>("localToolsSection")->isEmpty());
    // Today's calls: one day, one bar per tool with usage; the month's cost is theirs.
    const ledger::UsageReport shown = section->shownReport();
    ASSERT_FALSE(shown.rows.empty());
    EXPECT_EQ(shown.rows.front().period, QDate::currentDate().toString(Qt::ISODate));
    const QString month =
        window.findChild<LabelledFigure*>("localMonth")->findChildren<QLabel*>().last()->text();
    EXPECT_EQ(month, DisplayFormat::money(shown.totals.costUsd, MoneyPrecision::SubCent));

    auto* days = window.findChild<QComboBox*>("localToolsDays");
    days->setCurrentIndex(1);
    EXPECT_EQ(section->shownReport().query.since, QDate::currentDate().addDays(-89));

    window.resize(1000, 900);
    window.show();
    layOut(&window);
    auto* scroll = window.findChild<QScrollArea*>("trendsScroll");
    scroll->ensureWidgetVisible(section);
    layOut(&window);
    saveScreenshot(&window, QStringLiteral("trends-local-tools-wide"));
    window.resize(window.minimumWidth(), 700);
    layOut(&window);
    scroll->ensureWidgetVisible(section);
    layOut(&window);
    saveScreenshot(&window, QStringLiteral("trends-local-tools-narrow"));
}

}  // namespace
