// Small jobs for the desktop end-to-end script: a home with tool logs, screen grabs, and where
// a control is drawn, as the application itself reports it to assistive technology.
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QVariant>
#include <cstdio>
#include <optional>

#include "support/RolloutFixtures.h"

namespace {

// An accessible object: the bus name of its application and its path there.
struct AccessibleRef {
    QString service;
    QDBusObjectPath path;
};

const QDBusArgument& operator>>(const QDBusArgument& argument, AccessibleRef& ref) {
    argument.beginStructure();
    argument >> ref.service >> ref.path;
    argument.endStructure();
    return argument;
}
QDBusArgument& operator<<(QDBusArgument& argument, const AccessibleRef& ref) {
    argument.beginStructure();
    argument << ref.service << ref.path;
    argument.endStructure();
    return argument;
}

struct Extents {
    int x = 0, y = 0, width = 0, height = 0;
};

const QDBusArgument& operator>>(const QDBusArgument& argument, Extents& extents) {
    argument.beginStructure();
    argument >> extents.x >> extents.y >> extents.width >> extents.height;
    argument.endStructure();
    return argument;
}
QDBusArgument& operator<<(QDBusArgument& argument, const Extents& extents) {
    argument.beginStructure();
    argument << extents.x << extents.y << extents.width << extents.height;
    argument.endStructure();
    return argument;
}

}  // namespace

Q_DECLARE_METATYPE(AccessibleRef)
Q_DECLARE_METATYPE(Extents)

namespace {

constexpr auto kAccessible = "org.a11y.atspi.Accessible";

QString nameOf(const QDBusConnection& bus, const AccessibleRef& ref) {
    QDBusInterface properties(ref.service, ref.path.path(),
                              QStringLiteral("org.freedesktop.DBus.Properties"), bus);
    const QDBusReply<QVariant> reply = properties.call(
        QStringLiteral("Get"), QString::fromLatin1(kAccessible), QStringLiteral("Name"));
    return reply.isValid() ? reply.value().toString() : QString();
}

QList<AccessibleRef> childrenOf(const QDBusConnection& bus, const AccessibleRef& ref) {
    QDBusInterface accessible(ref.service, ref.path.path(), QString::fromLatin1(kAccessible), bus);
    const QDBusReply<QList<AccessibleRef>> reply = accessible.call(QStringLiteral("GetChildren"));
    return reply.isValid() ? reply.value() : QList<AccessibleRef>();
}

AccessibleRef parentOf(const QDBusConnection& bus, const AccessibleRef& ref) {
    QDBusInterface properties(ref.service, ref.path.path(),
                              QStringLiteral("org.freedesktop.DBus.Properties"), bus);
    const QDBusReply<QVariant> reply = properties.call(
        QStringLiteral("Get"), QString::fromLatin1(kAccessible), QStringLiteral("Parent"));
    AccessibleRef parent;
    if (reply.isValid()) reply.value().value<QDBusArgument>() >> parent;
    return parent;
}

// What is looked for: an object of `role` called `name`, or with `partial` whose name holds it.
struct Wanted {
    QString name;
    QString role;
    bool partial = false;
};

bool isCalled(const QDBusConnection& bus, const AccessibleRef& ref, const Wanted& wanted) {
    const QString name = nameOf(bus, ref);
    if (wanted.partial ? !name.contains(wanted.name) : name != wanted.name) return false;
    QDBusInterface accessible(ref.service, ref.path.path(), QString::fromLatin1(kAccessible), bus);
    const QDBusReply<QString> reply = accessible.call(QStringLiteral("GetRoleName"));
    return reply.isValid() && reply.value() == wanted.role;
}

// Depth first: the first object under `from` called `name` with `role`.
std::optional<AccessibleRef> find(const QDBusConnection& bus, const AccessibleRef& from,
                                  const Wanted& wanted, int depth) {
    for (const AccessibleRef& child : childrenOf(bus, from)) {
        if (isCalled(bus, child, wanted)) return child;
        if (depth > 0) {
            if (auto found = find(bus, child, wanted, depth - 1)) return found;
        }
    }
    return std::nullopt;
}

// A popup is no child of its application in the accessible tree, so the search starts from
// an object that announced a change (a window shown, a control focused) and goes up to its
// window first. What is found is printed: where it is drawn, or with `printName` its name.
class Locator : public QObject {
    Q_OBJECT

public:
    Locator(QDBusConnection bus, Wanted wanted, bool printName)
        : bus_(std::move(bus)), wanted_(std::move(wanted)), printName_(printName) {}

    bool search(const AccessibleRef& from) {
        AccessibleRef top = from;
        for (int i = 0; i < 16; ++i) {
            const AccessibleRef parent = parentOf(bus_, top);
            if (parent.service.isEmpty() ||
                parent.path.path() == QLatin1String("/org/a11y/atspi/null") ||
                parent.path.path() == QLatin1String("/org/a11y/atspi/accessible/root")) {
                break;
            }
            top = parent;
        }
        const auto found =
            isCalled(bus_, top, wanted_) ? std::optional(top) : find(bus_, top, wanted_, 12);
        return found && print(*found);
    }

public Q_SLOTS:
    void announced(const QDBusMessage& message) {
        if (found_ || !search({message.service(), QDBusObjectPath(message.path())})) return;
        found_ = true;
        QCoreApplication::exit(0);
    }

private:
    bool print(const AccessibleRef& found) {
        if (printName_) {
            std::printf("%s\n", qPrintable(nameOf(bus_, found)));
            std::fflush(stdout);
            return true;
        }
        QDBusInterface component(found.service, found.path.path(),
                                 QStringLiteral("org.a11y.atspi.Component"), bus_);
        const QDBusReply<Extents> extents =
            component.call(QStringLiteral("GetExtents"), quint32(0));  // screen coordinates
        if (!extents.isValid() || extents.value().width <= 0) return false;
        const Extents& e = extents.value();
        std::printf("%d %d %d %d\n", e.x, e.y, e.width, e.height);
        std::fflush(stdout);
        return true;
    }

    QDBusConnection bus_;
    Wanted wanted_;
    bool printName_ = false;
    bool found_ = false;
};

// A notification server on the session bus that writes one line per notification it is
// asked to show ("summary: body") to a file, so the test sees what the desktop would.
class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    explicit NotificationServer(QString path) : path_(std::move(path)) {}

public Q_SLOTS:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int) {
        QFile file(path_);
        if (file.open(QIODevice::Append))
            file.write((summary + QStringLiteral(": ") + body).toUtf8().replace('\n', ' ') + '\n');
        return ++shown_;
    }
    QStringList GetCapabilities() { return {QStringLiteral("body")}; }
    QString GetServerInformation(QString& vendor, QString& version, QString& protocolVersion) {
        vendor = QStringLiteral("test");
        version = QStringLiteral("1");
        protocolVersion = QStringLiteral("1.2");
        return QStringLiteral("desktop-test");
    }

private:
    QString path_;
    uint shown_ = 0;
};

int serveNotifications(const QString& path) {
    NotificationServer server(path);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                            QDBusConnection::ExportAllSlots) ||
        !bus.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
        std::fprintf(stderr, "cannot serve notifications on the session bus\n");
        return 1;
    }
    std::printf("serving\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

// Prints "X Y WIDTH HEIGHT" of the object in screen pixels (or its name, with `printName`) as
// soon as one is shown; fails after `seconds` without one.
int locate(const Wanted& wanted, bool printName, int seconds) {
    qDBusRegisterMetaType<AccessibleRef>();
    qDBusRegisterMetaType<QList<AccessibleRef>>();
    qDBusRegisterMetaType<Extents>();
    QDBusInterface launcher(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                            QStringLiteral("org.a11y.Bus"));
    const QDBusReply<QString> address = launcher.call(QStringLiteral("GetAddress"));
    if (!address.isValid()) return 1;
    QDBusConnection bus = QDBusConnection::connectToBus(address.value(), QStringLiteral("a11y"));
    Locator locator(bus, wanted, printName);
    // Applications announce changes only while someone listens for them.
    bus.connect(QString(), QString(), QStringLiteral("org.a11y.atspi.Event.Object"),
                QStringLiteral("StateChanged"), &locator, SLOT(announced(QDBusMessage)));
    QDBusInterface registry(QStringLiteral("org.a11y.atspi.Registry"),
                            QStringLiteral("/org/a11y/atspi/registry"),
                            QStringLiteral("org.a11y.atspi.Registry"), bus);
    registry.call(QStringLiteral("RegisterEvent"), QStringLiteral("object:state-changed"),
                  QStringList(), QString());
    const AccessibleRef root{QStringLiteral("org.a11y.atspi.Registry"),
                             QDBusObjectPath(QStringLiteral("/org/a11y/atspi/accessible/root"))};
    if (locator.search(root)) return 0;
    std::fprintf(stderr, "listening\n");
    // A tool tip need not announce itself as it appears: the tree is looked at again and again.
    QTimer poll;
    if (printName) {
        QObject::connect(&poll, &QTimer::timeout, &locator, [&locator, &root] {
            if (locator.search(root)) QCoreApplication::exit(0);
        });
        poll.start(300);
    }
    QTimer::singleShot(seconds * 1000, [] { QCoreApplication::exit(1); });
    return QCoreApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
    const QByteArray job = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (job == "home" && argc == 3) {
        qm::test::writeSampleHome(QString::fromLocal8Bit(argv[2]));
        return 0;
    }
    if (job == "notifications" && argc == 3) {
        QCoreApplication app(argc, argv);
        return serveNotifications(QString::fromLocal8Bit(argv[2]));
    }
    if (job == "session" && argc == 4) {
        // A new Codex session whose plan limit stands at `pct` percent, read just now (the
        // newest reading): the app must read it on its next refresh, and 80% or more alerts.
        const QString home = QString::fromLocal8Bit(argv[2]);
        const double pct = atof(argv[3]);
        const std::int64_t now = QDateTime::currentSecsSinceEpoch();
        const QString id = QStringLiteral("0199a1b2-near-%1").arg(int(pct));
        QByteArray rollout = qm::test::codexMetaLine(id, QStringLiteral("/home/dev/app"), 120);
        rollout += qm::test::codexTurnLine(QStringLiteral("gpt-5"), 120);
        rollout += qm::test::codexTotalsLine(500, 100, 0, 60);
        rollout += qm::test::codexRateLimitsLine(pct, 20, now + 3600, now + 5 * 86400, 1);
        QFile file(home + "/.codex/sessions/2025/06/02/rollout-" + id + ".jsonl");
        QDir().mkpath(QFileInfo(file).absolutePath());
        return file.open(QIODevice::WriteOnly) && file.write(rollout) == rollout.size() ? 0 : 1;
    }
    if (job == "limit" && argc == 4) {
        // The sample session's plan limit now at `pct` percent, appended as the tool appends
        // it after a model call.
        const std::int64_t now = QDateTime::currentSecsSinceEpoch();
        const QByteArray line =
            qm::test::codexRateLimitsLine(atof(argv[3]), 20, now + 3600, now + 5 * 86400, 1);
        QFile file(QString::fromLocal8Bit(argv[2]) +
                   "/.codex/sessions/2025/06/01/rollout-sample.jsonl");
        return file.exists() && file.open(QIODevice::Append) && file.write(line) == line.size() ? 0
                                                                                                : 1;
    }
    if (job == "shot" && (argc == 3 || argc == 7)) {
        QGuiApplication app(argc, argv);
        QScreen* screen = QGuiApplication::primaryScreen();
        QPixmap pixmap = argc == 7 ? screen->grabWindow(0, atoi(argv[3]), atoi(argv[4]),
                                                        atoi(argv[5]), atoi(argv[6]))
                                   : screen->grabWindow(0);
        return pixmap.save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
    }
    if (job == "locate" && argc == 5) {
        QCoreApplication app(argc, argv);
        return locate({QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3])}, false,
                      atoi(argv[4]));
    }
    if (job == "tooltip" && argc == 4) {
        // The text of a tool tip that holds TEXT, once one is shown.
        QCoreApplication app(argc, argv);
        return locate({QString::fromLocal8Bit(argv[2]), QStringLiteral("tool tip"), true}, true,
                      atoi(argv[3]));
    }
    std::fprintf(stderr,
                 "usage: %s home DIR | session DIR PERCENT | limit DIR PERCENT | notifications "
                 "FILE | shot FILE [X Y W H] | locate NAME ROLE SECONDS | tooltip TEXT SECONDS\n",
                 argv[0]);
    return 2;
}

#include "DesktopHelper.moc"
