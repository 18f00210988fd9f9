#include <QChartView>
#include <QGraphicsTextItem>
#include <QScreen>

#include "DesktopFixture.h"
#include "gui/AppWindows.h"
#include "gui/WindowRegistry.h"
#include "gui/widgets/WindowBehaviour.h"
#include "ledger/LocalUsageStore.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

// The trends window as the application opens it, with the local tools' chart over the sample
// logs, on the screen the process was given (1920 x 1080 at scale 2 under ctest).
class TrendsOnScreenTest : public DesktopFixture {
protected:
    TempDir cache_;
    ledger::LocalUsageStore localUsage_{
        ledger::UsageLedger(cache_.path(), ledger::LedgerSources::forHome(home.path()))};
    WindowRegistry trendsWindows_;  // last, so the window goes before the stores
};

TEST_F(TrendsOnScreenTest, TheLocalToolsChartComesFirstWithWholeLabels) {
    QCoro::waitFor(localUsage_.refresh());
    AppStores all = stores();
    all.localUsage = &localUsage_;
    declareWindows(trendsWindows_, all);
    QWidget* window = trendsWindows_.open(QStringLiteral("trends"));
    ASSERT_TRUE(window);
    layOut(window);
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(area.contains(window->frameGeometry()));
    auto* localTools = window->findChild<QWidget*>(QStringLiteral("localTools"));
    auto* claude = window->findChild<QWidget*>(QStringLiteral("claudeSection"));
    ASSERT_TRUE(localTools && claude);
    EXPECT_LT(localTools->y(), claude->y());
    auto* view = window->findChild<QChartView*>(QStringLiteral("localToolsChart"));
    ASSERT_TRUE(view);
    // Every text of the chart whole; several days named under the 30 days' bars.
    const auto expectWholeLabels = [view](const char* where) {
        int days = 0;
        for (QGraphicsItem* item : view->scene()->items()) {
            auto* text = qgraphicsitem_cast<QGraphicsTextItem*>(item);
            if (!text || !text->isVisible()) continue;
            const QString plain = text->toPlainText();
            EXPECT_FALSE(plain.contains(QStringLiteral("..")) || plain.contains(QChar(0x2026)))
                << where << ": " << plain.toStdString();
            days += plain.contains(QLatin1Char('/'));
        }
        EXPECT_GE(days, 4) << where;
    };
    expectWholeLabels("as opened");
    saveScreenshot(window, QStringLiteral("trends-local-tools"));
    window->resize(WindowBehaviour::declaredMinimum(window).width(), window->height());
    layOut(window);
    expectWholeLabels("narrowest");
    saveScreenshot(window, QStringLiteral("trends-local-tools-narrow"));
}

}  // namespace
