#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QDate>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTableView>
#include <QTest>

#include "DesktopFixture.h"
#include "accounts/AccountStore.h"
#include "accounts/MemorySecretBackend.h"
#include "core/DisplayFormat.h"
#include "gui/UsageText.h"
#include "gui/accounts/AccountsWindow.h"
#include "gui/accounts/MachinesPage.h"
#include "gui/dashboard/DashboardWindow.h"
#include "gui/dashboard/ToolCostLines.h"
#include "gui/trends/LocalToolsSection.h"
#include "gui/trends/TrendsWindow.h"
#include "history/UsageHistoryStore.h"
#include "hosts/RemoteHostStore.h"
#include "ledger/LocalUsageStore.h"
#include "support/TempDir.h"

namespace qm::gui {
namespace {

// Stands in for ssh: "devbox" answers with the report in $REMOTES/answer.json, "asleep" hangs
// until it is stopped, anything else is refused.
const QByteArray kFakeSsh = R"(#!/bin/bash
case "$5" in
  devbox) cat "$REMOTES/answer.json" ;;
  asleep) exec sleep 600 ;;
  *) echo "ssh: connect to host $5 port 22: Connection refused" >&2; exit 255 ;;
esac
)";

QJsonObject figures(double cost) {
    return {{"inputTokens", 1000}, {"cachedInputTokens", 0}, {"cacheWriteTokens", 0},
            {"outputTokens", 100}, {"reasoningTokens", 0},   {"costUsd", cost},
            {"prompts", 2},        {"sessions", 1}};
}

// Today's and an earlier day's codex rows, $1.25 and $2.00.
QByteArray devboxAnswer() {
    const QDate today = QDate::currentDate();
    QJsonArray rows;
    for (const auto& [day, cost] : {std::pair{today.addDays(-40), 2.0}, std::pair{today, 1.25}}) {
        QJsonObject row = figures(cost);
        row.insert("period", day.toString(Qt::ISODate));
        row.insert("tool", "codex");
        rows.append(row);
    }
    QJsonObject totals = figures(3.25);
    totals["inputTokens"] = 2000;
    totals["outputTokens"] = 200;
    totals["prompts"] = 4;
    return QJsonDocument(QJsonObject{{"rows", rows}, {"totals", totals}}).toJson();
}

class MachinesTabTest : public ::testing::Test {
protected:
    MachinesTabTest() {
        QFile::setPermissions(dir.write("ssh", kFakeSsh),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        dir.write("answer.json", devboxAnswer());
        qputenv("QUOTAMETER_SSH", dir.filePath("ssh").toUtf8());
        qputenv("QUOTAMETER_SSH_TIMEOUT", "60");
        qputenv("REMOTES", dir.path().toUtf8());
    }
    ~MachinesTabTest() override {
        qunsetenv("QUOTAMETER_SSH");
        qunsetenv("QUOTAMETER_SSH_TIMEOUT");
    }

    test::TempDir dir;
    QString config = dir.filePath("data/config.json");
    AccountStore accounts{AccountConfigStore(config),
                          KeychainStore(std::make_shared<MemorySecretBackend>())};
    UsageHistoryStore history{UsageHistoryFileStore(dir.filePath("data/usage-history.json"))};
    hosts::RemoteHostStore store{config, dir.filePath("cache")};
};

TEST_F(MachinesTabTest, AddingCheckingAndRemovingMachinesFromTheAccountsWindow) {
    AccountsWindow window(&accounts, nullptr, &history, {});
    window.setRemoteHosts(&store);
    window.resize(700, 460);
    window.show();
    auto* tabs = window.findChild<QTabBar*>("providerPicker");
    ASSERT_TRUE(tabs);
    tabs->setCurrentIndex(tabs->count() - 1);
    MachinesPage* page = window.machinesPage();
    ASSERT_TRUE(page && page->isVisible());
    EXPECT_FALSE(window.findChild<QPushButton*>("addButton")->isVisible());
    QAbstractItemModelTester tester(page->model());

    auto* field = page->findChild<QLineEdit*>("hostNameField");
    auto* add = page->findChild<QPushButton*>("addHostButton");
    auto* error = page->findChild<QLabel*>("hostError");
    // A name ssh would take for an option is refused where it was typed; nothing is stored.
    field->setText("-oProxyCommand=sh");
    add->click();
    EXPECT_TRUE(error->isVisible());
    EXPECT_EQ(error->text(), "a host name cannot start with -");
    EXPECT_EQ(page->model()->rowCount(), 0);
    EXPECT_FALSE(QFile::exists(config));

    for (const char* name : {"devbox", "asleep", "gone"}) {
        field->setText(name);
        add->click();
    }
    EXPECT_FALSE(error->isVisible());
    ASSERT_EQ(page->model()->rowCount(), 3);
    // The checks run in the background: the window answers meanwhile.
    EXPECT_TRUE(store.isChecking());
    EXPECT_EQ(page->model()->index(1, MachineListModel::statusColumn).data(), "Checking…");
    test::saveScreenshot(&window, "machines-checking");

    // devbox answers; "gone" is refused at once; "asleep" is still being waited for.
    ASSERT_TRUE(test::waitUntil([&] { return store.hosts()[0].readAtMs.has_value(); }));
    ASSERT_TRUE(test::waitUntil([&] { return !store.hosts()[2].problem.isEmpty(); }));
    const auto cell = [&](int row, int column) {
        return page->model()->index(row, column).data().toString();
    };
    EXPECT_EQ(cell(0, MachineListModel::statusColumn), "Read just now");
    EXPECT_EQ(cell(0, MachineListModel::todayColumn), "$1.2500");
    EXPECT_EQ(cell(2, MachineListModel::statusColumn), "ssh: connection refused");
    EXPECT_EQ(cell(2, MachineListModel::todayColumn), "-");
    // The sums the dashboard and trends take: today's $1.25 on devbox alone.
    const auto today =
        store.figures(ProviderKind::codex, QDate::currentDate(), QDate::currentDate());
    ASSERT_EQ(today.size(), 1u);
    EXPECT_EQ(today[0].first, "devbox");
    EXPECT_DOUBLE_EQ(today[0].second.costUsd, 1.25);

    window.resize(420, 460);
    test::saveScreenshot(&window, "machines-narrow");
    window.resize(1000, 460);
    test::saveScreenshot(&window, "machines-wide");

    // Removing a machine takes it out of the file; the others stay.
    auto* table = page->findChild<QTableView*>("machineTable");
    table->selectRow(2);
    page->findChild<QPushButton*>("removeHostButton")->click();
    EXPECT_EQ(page->model()->rowCount(), 2);
    EXPECT_EQ(hosts::RemoteHostList(config).load(), (QStringList{"devbox", "asleep"}));

    // Back on an account tab, the accounts and their controls return.
    tabs->setCurrentIndex(0);
    EXPECT_FALSE(page->isVisible());
    EXPECT_TRUE(window.findChild<QPushButton*>("addButton")->isVisible());
}

TEST_F(MachinesTabTest, AMachineThatIsAsleepKeepsItsLastFiguresWithTheirAge) {
    hosts::RemoteHostList(config).add("devbox");
    store.reload();
    store.refresh();
    ASSERT_TRUE(test::waitUntil([&] { return !store.isChecking(); }));
    ASSERT_TRUE(store.hosts()[0].readAtMs);

    // The next day the machine is off: a new store (a new start of the app) still has the
    // figures from the cache, and says how old they are.
    qint64 later = *store.hosts()[0].readAtMs + 3 * 3600 * 1000;
    hosts::RemoteHostStore restarted(config, dir.filePath("cache"), [&] { return later; });
    ASSERT_EQ(restarted.hosts().size(), 1u);
    EXPECT_EQ(restarted.hosts()[0].report, store.hosts()[0].report);
    dir.write("answer.json", "not json");
    restarted.refresh();
    ASSERT_TRUE(test::waitUntil([&] { return !restarted.isChecking(); }));
    EXPECT_EQ(MachineListModel::statusText(restarted.hosts()[0], later),
              "the answer is not a report in JSON; figures from 3h ago");
    EXPECT_EQ(restarted.hosts()[0].report, store.hosts()[0].report);
}

// The dashboard's cards and the trends' local section over this machine's sample logs and
// devbox's last figures.
class RemoteFiguresOnScreenTest : public test::DesktopFixture {
protected:
    RemoteFiguresOnScreenTest() {
        QFile::setPermissions(dir.write("ssh", kFakeSsh),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        dir.write("answer.json", devboxAnswer());
        qputenv("QUOTAMETER_SSH", dir.filePath("ssh").toUtf8());
        qputenv("REMOTES", dir.path().toUtf8());
        hosts::RemoteHostList(config).add("devbox");
        store.reload();
        store.refresh();
        EXPECT_TRUE(test::waitUntil([&] { return !store.isChecking(); }));
        QCoro::waitFor(localUsage.refresh());
    }
    ~RemoteFiguresOnScreenTest() override { qunsetenv("QUOTAMETER_SSH"); }

    double localCost(QDate since) const {
        const TimeMs end = QDateTime::currentMSecsSinceEpoch() + 3'600'000;
        return localUsage
            .figures(ProviderKind::codex, QDateTime(since, QTime(0, 0)).toMSecsSinceEpoch(), end)
            .costUsd;
    }

    test::TempDir dir;
    QString config = dir.filePath("data/config.json");
    hosts::RemoteHostStore store{config, dir.filePath("cache")};
    test::TempDir cache;
    ledger::LocalUsageStore localUsage{
        ledger::UsageLedger(cache.path(), ledger::LedgerSources::forHome(home.path()))};
};

TEST_F(RemoteFiguresOnScreenTest, CardsAndTrendsAddTheOtherMachinesAndNameThemInTheToolTip) {
    ASSERT_TRUE(store.hosts()[0].readAtMs);
    DashboardWindow dashboard(&aggregator, &claude, &preferences, [](const QString&) {});
    dashboard.setLocalUsage(&localUsage);
    dashboard.setRemoteHosts(&store);
    auto* codex = dashboard.findChild<QWidget*>("card_Codex");
    ASSERT_TRUE(codex);
    const QDate today = QDate::currentDate();
    const double here = localCost(today);
    EXPECT_EQ(codex->findChild<QLabel*>("todayCost")->text(),
              DisplayFormat::money(here + 1.25, MoneyPrecision::SubCent));
    const QString tip = codex->findChild<ToolCostLines*>()->toolTip();
    EXPECT_TRUE(tip.contains(
        "This machine: " + DisplayFormat::money(here, MoneyPrecision::SubCent) + " today"))
        << tip.toStdString();
    EXPECT_TRUE(tip.contains("devbox: $1.2500 today, $1.2500 this month (read just now)"))
        << tip.toStdString();

    TrendsWindow trends(&history);
    trends.setLocalUsage(&localUsage);
    trends.setRemoteHosts(&store);
    auto* section = trends.findChild<LocalToolsSection*>("localTools");
    ASSERT_TRUE(section);
    // 30 days: devbox's row of 40 days ago is outside; today's is in, beside this machine's.
    const ledger::UsageReport shown = section->shownReport();
    EXPECT_NEAR(shown.totals.costUsd, localUsage.report(shown.query).totals.costUsd + 1.25, 1e-9);
    int devboxRows = 0;
    for (const ledger::ReportRow& row : shown.rows) devboxRows += row.host == "devbox";
    EXPECT_EQ(devboxRows, 1);
}

}  // namespace
}  // namespace qm::gui
