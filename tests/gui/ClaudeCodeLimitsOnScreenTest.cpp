#include <QCheckBox>
#include <QFile>
#include <QLabel>

#include "DesktopFixture.h"
#include "alerts/ClaudeLimitReadingStore.h"
#include "core/ClaudeCodeSettings.h"
#include "gui/AppStores.h"
#include "gui/TrayIcon.h"
#include "gui/WindowRegistry.h"
#include "gui/claude/ClaudeCard.h"
#include "gui/claude/ClaudeLimitsNow.h"
#include "gui/dashboard/StatusLineSwitch.h"
#include "gui/panel/MenuBarPanel.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

// The limits Claude Code hands its status line, as the status line records them.
class ClaudeCodeLimitsOnScreenTest : public DesktopFixture {
protected:
    void recordFromClaudeCode(double fiveHour, double weekly, TimeMs readAt) {
        const std::vector<ClaudeLimitReading> fresh{
            {ClaudeLimitWindow::fiveHour, fiveHour, readAt + 3 * 3'600'000, readAt,
             LimitSource::claudeCode},
            {ClaudeLimitWindow::weekly, weekly, readAt + 4 * 86'400'000LL, readAt,
             LimitSource::claudeCode}};
        ASSERT_EQ(ClaudeLimitReadingsFile::record(path, fresh, readAt).outcome,
                  ClaudeLimitReadingsFile::RecordOutcome::stored);
        readings.reload();
    }
    std::unique_ptr<ClaudeCard> makeCard() {
        auto card = std::make_unique<ClaudeCard>(&claude, &aggregator, [](const QString&) {});
        card->setHistory(&history);
        card->setReadings(&readings);
        card->resize(330, card->sizeHint().height());
        return card;
    }

    QString path = ClaudeLimitReadingsFile::pathIn(data.path());
    ClaudeLimitReadingStore readings{path};
};

// Never signed in to claude.ai: the five-hour and weekly limits still show, from Claude Code,
// and the card says where the per-model ones would come from.
TEST_F(ClaudeCodeLimitsOnScreenTest, WithoutASignInTheCardShowsClaudeCodesFigures) {
    const TimeMs now = QDateTime::currentMSecsSinceEpoch();
    recordFromClaudeCode(43, 31, now - 2 * 60'000);
    auto card = makeCard();
    card->show();
    layOut(card.get());
    auto* session = card->findChild<QWidget*>("bar_5h");
    auto* week = card->findChild<QWidget*>("bar_Week");
    ASSERT_NE(session, nullptr);
    ASSERT_NE(week, nullptr);
    EXPECT_EQ(text(session, "percent"), "43%");
    EXPECT_EQ(text(week, "percent"), "31%");
    EXPECT_EQ(text(session, "source"), "from Claude Code, 2 min ago");
    EXPECT_FALSE(card->findChild<QWidget*>("bar_Sonnet"));
    EXPECT_TRUE(text(card.get(), "claudePerModelNote").contains("Opus, Sonnet"));
    saveScreenshot(card.get(), QStringLiteral("claude-card-from-claude-code"));

    // The panel and the tray say the same, without asking anyone to sign in.
    MenuBarPanel panel(&aggregator, &claude, [](const QString&) {});
    panel.setClaudeLimitSources({&claude, &readings, &history});
    EXPECT_EQ(text(&panel, "claudeFiveHour"), "43%");
    EXPECT_EQ(text(&panel, "claudeStatus"), "from Claude Code, 2 min ago");
    WindowRegistry windows;
    TrayIcon tray(&aggregator, &claude, &windows);
    tray.setClaudeLimitSources({&claude, &readings, &history});
    EXPECT_TRUE(tray.title().endsWith("Claude 43%")) << tray.title().toStdString();

    // A newer reading reaches every view.
    recordFromClaudeCode(91, 33, now);
    layOut(card.get());
    EXPECT_EQ(text(card->findChild<QWidget*>("bar_5h"), "percent"), "91%");
    EXPECT_EQ(text(&panel, "claudeFiveHour"), "91%");
    EXPECT_TRUE(tray.title().endsWith("Claude 91%"));
}

// While Claude Code's five hours are under ten minutes old, showing a window starts no site
// fetch (no browser); once they are older, it does.
TEST_F(ClaudeCodeLimitsOnScreenTest, AFreshClaudeCodeReadingHoldsBackTheSiteFetch) {
    claude.setAutomaticFetchNeeded([this] {
        return !claudeCodeHoldsFiveHours(readings, QDateTime::currentMSecsSinceEpoch());
    });
    const TimeMs now = QDateTime::currentMSecsSinceEpoch();
    recordFromClaudeCode(43, 31, now - 9 * 60'000);
    QCoro::waitFor(startupRefresh(&aggregator, &claude));
    EXPECT_FALSE(claude.hasSession());
    EXPECT_EQ(site.requestCount(site.usagePath()), 0);

    // Eleven minutes on, the site is asked again (nobody is signed in, so it says so).
    const std::vector<ClaudeLimitReading> stale{{ClaudeLimitWindow::fiveHour, 43, now + 3'600'000,
                                                 now - 11 * 60'000, LimitSource::claudeCode}};
    QFile::remove(path);
    ASSERT_EQ(ClaudeLimitReadingsFile::record(path, stale, now).outcome,
              ClaudeLimitReadingsFile::RecordOutcome::stored);
    readings.reload();
    QCoro::waitFor(startupRefresh(&aggregator, &claude));
    EXPECT_TRUE(claude.hasSession());
}

// Both sources: each window shows the fresher reading and names its source; the per-model
// limit stays the site's.
TEST_F(ClaudeCodeLimitsOnScreenTest, TheFresherSourceWinsPerWindow) {
    fetchLimits(R"({"five_hour":{"utilization":20,"resets_at":"2099-01-01T00:00:00Z"},)"
                R"("seven_day":{"utilization":40},"seven_day_sonnet":{"utilization":3}})");
    const TimeMs now = QDateTime::currentMSecsSinceEpoch();
    // Claude Code read the five hours after the site, the week an hour before it.
    const std::vector<ClaudeLimitReading> fresh{
        {ClaudeLimitWindow::weekly, 12, now + 4 * 86'400'000LL, now - 3'600'000,
         LimitSource::claudeCode},
        {ClaudeLimitWindow::fiveHour, 55, now + 3'600'000, now + 1'000, LimitSource::claudeCode}};
    ASSERT_EQ(ClaudeLimitReadingsFile::record(path, fresh, now + 1'000).outcome,
              ClaudeLimitReadingsFile::RecordOutcome::stored);
    readings.reload();
    auto card = makeCard();
    card->show();
    layOut(card.get());
    EXPECT_EQ(text(card->findChild<QWidget*>("bar_5h"), "percent"), "55%");
    EXPECT_TRUE(text(card->findChild<QWidget*>("bar_5h"), "source").startsWith("from Claude Code"));
    EXPECT_EQ(text(card->findChild<QWidget*>("bar_Week"), "percent"), "40%");
    EXPECT_TRUE(text(card->findChild<QWidget*>("bar_Week"), "source").startsWith("from claude.ai"));
    EXPECT_EQ(text(card->findChild<QWidget*>("bar_Sonnet"), "percent"), "3%");
    // Read with the week: said once, under the week.
    EXPECT_FALSE(card->findChild<QWidget*>("bar_Sonnet")->findChild<QLabel*>("source"));
    EXPECT_FALSE(card->findChild<QLabel*>("claudePerModelNote"));
}

// The settings switch: what the file holds, another program's status line replaced only when
// the user agrees, and a file that is not JSON never touched.
TEST(StatusLineSwitchTest, ItShowsAndChangesTheSettingsFile) {
    TempDir dir;
    const QString settings = dir.filePath("claude/settings.json");
    const QString cli = QStringLiteral("/opt/quotameter/bin/quotameter-cli");
    QStringList asked;
    bool agree = false;
    StatusLineSwitch toggle(settings, cli, nullptr, [&](const QString& other) {
        asked << other;
        return agree;
    });
    EXPECT_FALSE(toggle.isChecked());  // no file yet
    toggle.click();
    EXPECT_TRUE(toggle.isChecked());
    EXPECT_EQ(ClaudeCodeSettings::statusLine(settings, cli).state,
              ClaudeCodeSettings::StatusLineState::ours);
    toggle.click();
    EXPECT_FALSE(toggle.isChecked());
    EXPECT_EQ(ClaudeCodeSettings::statusLine(settings, cli).state,
              ClaudeCodeSettings::StatusLineState::absent);

    dir.write("claude/settings.json",
              R"({"model": "opus", "statusLine": {"type": "command", "command": "ccline"}})");
    toggle.showFileState();
    EXPECT_FALSE(toggle.isChecked());
    toggle.click();  // asked, declined: the other one stays
    EXPECT_EQ(asked, QStringList{"ccline"});
    EXPECT_FALSE(toggle.isChecked());
    EXPECT_EQ(ClaudeCodeSettings::statusLine(settings, cli).command, "ccline");
    agree = true;
    toggle.click();
    EXPECT_TRUE(toggle.isChecked());
    EXPECT_TRUE(ClaudeCodeSettings::statusLine(settings, cli).current);

    dir.write("claude/settings.json", "{ not json");
    toggle.showFileState();
    toggle.click();
    EXPECT_FALSE(toggle.isChecked());
    EXPECT_FALSE(toggle.toolTip().isEmpty());
    QFile file(settings);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "{ not json");
}

}  // namespace
