#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QObject>
#include <QStringList>
#include <QTest>
#include <QVariantMap>

#include "alerts/DesktopNotification.h"
#include "support/QtPrinters.h"

using namespace qm;

namespace {

// Plays the desktop's notification daemon on the session bus and keeps what it was sent.
class FakeNotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Received {
        QString appName;
        QString icon;
        QString summary;
        QString body;
        QVariantMap hints;
    };
    std::vector<Received> received;

public Q_SLOTS:
    uint Notify(const QString& appName, uint, const QString& icon, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap& hints, int) {
        received.push_back({appName, icon, summary, body, hints});
        return static_cast<uint>(received.size());
    }
};

// The fake sits on a connection of its own, as a daemon would, so the message really crosses
// the bus.
class DesktopNotificationTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QDBusConnection::sessionBus().isConnected())
            GTEST_SKIP() << "no session bus (the test script provides one)";
        if (QDBusConnection::sessionBus().interface()->isServiceRegistered(kService).value())
            GTEST_SKIP() << "a real notification service already owns the name";
    }
    void TearDown() override {
        daemon.unregisterService(kService);
        daemon.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-notifications"));
    }
    void startService() {
        ASSERT_TRUE(daemon.registerObject(QStringLiteral("/org/freedesktop/Notifications"),
                                          &service, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(daemon.registerService(kService));
    }

    const QString kService = QStringLiteral("org.freedesktop.Notifications");
    QDBusConnection daemon = QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                           QStringLiteral("fake-notifications"));
    FakeNotificationService service;
};

TEST_F(DesktopNotificationTest, GoesToTheServiceWithOurNameAndIconAndFallsBackWithoutIt) {
    // No daemon on the bus: nothing is sent, so the caller shows its own balloon.
    EXPECT_FALSE(DesktopNotification::isAvailable());
    EXPECT_FALSE(DesktopNotification::show(QStringLiteral("t"), QStringLiteral("m")));

    startService();
    EXPECT_TRUE(DesktopNotification::isAvailable());
    ASSERT_TRUE(DesktopNotification::show(QStringLiteral("Claude 5h limit at 80%"),
                                          QStringLiteral("Resets at 14:00.")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !service.received.empty(); }, 5000));
    const auto& shown = service.received.front();
    EXPECT_EQ(shown.appName, "Quotameter");
    EXPECT_EQ(shown.icon, "org.quotameter.Quotameter");
    EXPECT_EQ(shown.summary, "Claude 5h limit at 80%");
    EXPECT_EQ(shown.body, "Resets at 14:00.");
    EXPECT_EQ(shown.hints.value(QStringLiteral("desktop-entry")).toString(),
              "org.quotameter.Quotameter");

    // The daemon goes away (a session without one): back to the fallback.
    daemon.unregisterService(kService);
    ASSERT_TRUE(QTest::qWaitFor([] { return !DesktopNotification::isAvailable(); }, 5000));
    EXPECT_FALSE(DesktopNotification::show(QStringLiteral("t"), QStringLiteral("m")));
}

}  // namespace

#include "DesktopNotificationTest.moc"
