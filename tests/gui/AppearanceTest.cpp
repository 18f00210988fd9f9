#include <QAbstractButton>
#include <QApplication>
#include <QChartView>
#include <QPalette>
#include <QToolButton>
#include <cmath>

#include "DarkPalette.h"
#include "DesktopFixture.h"
#include "accounts/AccountStore.h"
#include "accounts/KeychainStore.h"
#include "accounts/MemorySecretBackend.h"
#include "gui/accounts/AccountsWindow.h"
#include "gui/dashboard/DashboardWindow.h"
#include "gui/trends/TrendsWindow.h"
#include "gui/widgets/Look.h"
#include "gui/widgets/WindowTextStyles.h"
#include "relay/GeminiRelayStore.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

// A dark desktop theme, as a user's would set it, for the length of a test.
class DarkPaletteTest : public DesktopFixture {
protected:
    DarkPaletteTest() : saved_(QApplication::palette()) {
        QApplication::setPalette(test::darkPalette());
    }
    ~DarkPaletteTest() override { QApplication::setPalette(saved_); }

    static double lightness(const QColor& colour) { return colour.lightnessF(); }

private:
    QPalette saved_;
};

TEST_F(DarkPaletteTest, NoChartIsLighterThanTheWindowAndStateColoursStandOut) {
    history.appendClaudeSnapshot(
        {QDateTime::currentMSecsSinceEpoch() - 3'600'000, 20, 40, 60, QStringLiteral("Sonnet")});
    history.appendClaudeSnapshot(
        {QDateTime::currentMSecsSinceEpoch(), 35, 45, 62, QStringLiteral("Sonnet")});
    TrendsWindow trends(&history);
    trends.resize(900, 700);
    trends.show();
    trends.flushRedraw();
    layOut(&trends);
    const double window = lightness(QApplication::palette().color(QPalette::Window));
    const auto views = trends.findChildren<QChartView*>();
    ASSERT_FALSE(views.isEmpty());
    for (QChartView* view : views) {
        const QImage image = view->grab().toImage();
        // The chart's own margin, outside the plot and the legend: its background.
        for (const QPoint at : {QPoint(image.width() / 2, 2), QPoint(2, image.height() / 2),
                                QPoint(image.width() - 3, image.height() - 3)}) {
            EXPECT_LE(lightness(image.pixelColor(at)), window + 0.02)
                << view->objectName().toStdString() << " at " << at.x() << "," << at.y();
        }
    }
    saveScreenshot(&trends, QStringLiteral("trends-dark"));

    // Error, warning and good colours keep their distance from the dark background.
    for (UsageStatusLevel level : {UsageStatusLevel::good, UsageStatusLevel::warn,
                                   UsageStatusLevel::bad, UsageStatusLevel::high}) {
        EXPECT_GT(lightness(Look::levelColour(level)) - window, 0.2) << int(level);
    }
    EXPECT_GT(lightness(WindowText::red()) - window, 0.2);
}

TEST_F(DarkPaletteTest, TheDashboardReadsOnADarkPalette) {
    signIn();
    site.setUsageBody(R"({"five_hour":{"utilization":42.5,"resets_at":"2026-12-07T15:00:00Z"},
        "seven_day":{"utilization":61,"resets_at":"2026-12-10T08:00:00Z"},
        "seven_day_sonnet":{"utilization":12,"resets_at":"2026-12-10T08:00:00Z"}})");
    DashboardWindow window(&aggregator, &claude, &preferences, [](const QString&) {});
    window.resize(1100, 860);
    window.show();
    ASSERT_TRUE(waitUntil([&] { return aggregator.lastRefreshAt() && claude.latest(); }))
        << "the dashboard never showed Claude's limits: " << claude.statusText().toStdString();
    layOut(&window);
    saveScreenshot(&window, QStringLiteral("dashboard-dark"));
    // The cards are drawn from the palette: no light box on the dark window.
    const QImage image = window.grab().toImage();
    QWidget* card = window.findChild<QWidget*>(QStringLiteral("card_Codex"));
    ASSERT_TRUE(card);
    const QPoint inside = card->mapTo(&window, QPoint(card->width() / 2, 6));
    EXPECT_LT(lightness(image.pixelColor(inside)), 0.4);
}

// The relative luminance of the web's contrast rule, from 0 (black) to 1 (white).
double relativeLuminance(const QColor& colour) {
    const auto linear = [](double channel) {
        return channel <= 0.03928 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) +
           0.0722 * linear(colour.blueF());
}

// How far apart two colours look: the distance of their channels, weighted as the eye tells
// them ("redmean"); about 100 tells two small marks apart at a glance.
double seenDistance(const QColor& a, const QColor& b) {
    const double red = (a.red() + b.red()) / 2.0;
    const double dr = a.red() - b.red(), dg = a.green() - b.green(), db = a.blue() - b.blue();
    return std::sqrt((2 + red / 256) * dr * dr + 4 * dg * dg + (2 + (255 - red) / 256) * db * db);
}

// A tool's mark and bars are told from every other tool's, and show on a light card and a
// dark one alike.
TEST(ToolColourTest, EveryToolHasAColourOfItsOwnThatShowsOnEitherPalette) {
    for (const ProviderKind tool : kAllProviderKinds) {
        const QColor colour = Look::toolColour(tool);
        for (const QPalette& palette : {QApplication::palette(), test::darkPalette()}) {
            const double card = relativeLuminance(palette.color(QPalette::Base));
            const double mark = relativeLuminance(colour);
            EXPECT_GE((std::max(card, mark) + 0.05) / (std::min(card, mark) + 0.05), 3.0)
                << providerName(tool).toStdString() << " on "
                << palette.color(QPalette::Base).name().toStdString();
        }
        for (const ProviderKind other : kAllProviderKinds) {
            if (other <= tool) continue;
            EXPECT_GE(seenDistance(colour, Look::toolColour(other)), 100)
                << providerName(tool).toStdString() << " and " << providerName(other).toStdString();
        }
    }
}

}  // namespace

namespace {

// A user's larger desktop font, for the length of a test.
class LargeFontTest : public DesktopFixture {
protected:
    LargeFontTest() : saved_(QApplication::font()) {
        QFont large = saved_;
        large.setPointSizeF(saved_.pointSizeF() * 1.6);
        QApplication::setFont(large);
    }
    ~LargeFontTest() override { QApplication::setFont(saved_); }

    // Every button and label text under `root` has the room it needs and lies inside `window`.
    static void expectNothingClipped(QWidget* window, QWidget* root) {
        for (QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
            if (!button->isVisibleTo(window) || button->text().isEmpty()) continue;
            EXPECT_GE(button->width(), button->sizeHint().width()) << button->text().toStdString();
            const QRect inWindow(button->mapTo(window, QPoint(0, 0)), button->size());
            EXPECT_TRUE(window->rect().contains(inWindow)) << button->text().toStdString();
        }
    }

private:
    QFont saved_;
};

TEST_F(LargeFontTest, AccountRowsReflowAndKeepEveryControl) {
    test::TempDir config;
    AccountStore accounts(AccountConfigStore(AccountConfigStore::pathIn(config.path())),
                          KeychainStore(std::make_shared<MemorySecretBackend>()));
    ASSERT_FALSE(accounts.addAccount(ApiAccountProvider::gemini, QStringLiteral("team"),
                                     QStringLiteral("AIza-key-1234"), QStringLiteral("proj-7")));
    GeminiRelayStore relay{GeminiRelayEnvironment{}};
    AccountsWindow window(&accounts, &relay, &history, {});
    window.resize(window.minimumSize());
    window.show();
    layOut(&window);
    auto* row = window.findChild<QWidget*>(QStringLiteral("accountRow"));
    ASSERT_TRUE(row);
    expectNothingClipped(&window, row);
    auto* remove = row->findChild<QToolButton*>(QStringLiteral("deleteButton"));
    ASSERT_TRUE(remove);
    EXPECT_TRUE(remove->isVisible()) << "the delete button is hidden";
    EXPECT_TRUE(
        window.rect().contains(QRect(remove->mapTo(&window, QPoint(0, 0)), remove->size())));
    saveScreenshot(&window, QStringLiteral("accounts-large-font"));
}

TEST_F(LargeFontTest, CardTitlesKeepClearOfTheirValues) {
    QCoro::waitFor(aggregator.refresh());
    DashboardWindow window(&aggregator, &claude, &preferences, [](const QString&) {});
    window.resize(window.minimumSize());
    window.show();
    layOut(&window);
    QWidget* card = window.findChild<QWidget*>(QStringLiteral("card_Codex"));
    ASSERT_TRUE(card);
    // "Project" and its value: the title is never drawn into the value's space.
    for (const char* key : {"latest", "project", "model", "source"}) {
        QLabel* value = card->findChild<QLabel*>(QString::fromLatin1(key));
        ASSERT_TRUE(value) << key;
        for (QLabel* title : card->findChildren<QLabel*>()) {
            const bool sameLine = title->geometry().bottom() >= value->y() &&
                                  title->y() <= value->geometry().bottom();
            if (title == value || !sameLine || title->x() >= value->x()) continue;
            EXPECT_GE(title->width(), title->sizeHint().width()) << title->text().toStdString();
            EXPECT_LE(title->geometry().right(), value->geometry().left());
        }
    }
    expectNothingClipped(&window, window.findChild<QWidget*>(QStringLiteral("header")));
    saveScreenshot(&window, QStringLiteral("dashboard-large-font"));
}

}  // namespace
