#include <gtest/gtest.h>

#include <QSignalSpy>
#include <csignal>

#include "core/QuitOnSignals.h"

TEST(QuitOnSignals, TermAndIntReachTheEventLoopInsteadOfKillingTheProcess) {
    qm::QuitOnSignals watch;
    ASSERT_TRUE(watch.isWatching());
    QSignalSpy received(&watch, &qm::QuitOnSignals::received);
    ASSERT_EQ(::raise(SIGTERM), 0);
    ASSERT_TRUE(received.count() > 0 || received.wait(5000));
    EXPECT_EQ(received.takeFirst().at(0).toInt(), SIGTERM);
    ASSERT_EQ(::raise(SIGINT), 0);
    ASSERT_TRUE(received.count() > 0 || received.wait(5000));
    EXPECT_EQ(received.takeFirst().at(0).toInt(), SIGINT);
}
