#include <gtest/gtest.h>

#include <QWidget>

#include "gui/WindowRegistry.h"

namespace qm::gui {
namespace {

TEST(WindowRegistryTest, OpeningTwiceShowsOneWindowAndClosingKeepsIt) {
    WindowRegistry registry;
    int made = 0;
    registry.declare(QStringLiteral("dashboard"), [&] {
        ++made;
        return new QWidget;
    });
    QWidget* first = registry.open(QStringLiteral("dashboard"));
    ASSERT_NE(first, nullptr);
    first->close();
    EXPECT_EQ(registry.open(QStringLiteral("dashboard")), first);
    EXPECT_EQ(made, 1);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(registry.open(QStringLiteral("nowhere")), nullptr);
    delete first;
}

}  // namespace
}  // namespace qm::gui
