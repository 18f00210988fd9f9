#include "app/ExternalApp.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <optional>

namespace qm::bench {

namespace {

QString run(const QString& program, const QStringList& args, const QProcessEnvironment& env) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    p.waitForFinished(5000);
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

std::optional<QString> field(const QString& shell, const QString& name) {
    for (const QString& line : shell.split('\n')) {
        if (line.startsWith(name + '=')) return line.mid(name.size() + 1);
    }
    return std::nullopt;
}

// Resident kilobytes of a process and, with `tree`, of all its descendants.
long residentKb(qint64 pid, bool tree) {
    long total = 0;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                total += line.mid(6).trimmed().split(' ').first().toLong();
        }
    }
    if (!tree) return total;
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    if (children.open(QIODevice::ReadOnly)) {
        for (const QByteArray& child : children.readAll().trimmed().split(' ')) {
            if (!child.isEmpty()) total += residentKb(child.toLongLong(), true);
        }
    }
    return total;
}

int childCount(qint64 pid) {
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    if (!children.open(QIODevice::ReadOnly)) return 0;
    const QByteArray text = children.readAll().trimmed();
    return text.isEmpty() ? 0 : static_cast<int>(text.split(' ').size());
}

}  // namespace

void measureExternalApp(const QString& binary, const QString& home) {
    for (const char* tool : {"Xvfb", "trayer", "xdotool"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
            std::printf("# %s missing: start and memory figures skipped\n", tool);
            return;
        }
    }
    QProcess xvfb;
    xvfb.start(QStringLiteral("sh"),
               {QStringLiteral("-c"),
                QStringLiteral("exec Xvfb -displayfd 1 -screen 0 1280x800x24 -nolisten tcp "
                               "2>/dev/null")});
    if (!xvfb.waitForReadyRead(10000)) {
        std::printf("# Xvfb did not start\n");
        return;
    }
    const QString display = QStringLiteral(":") + QString::fromLatin1(xvfb.readLine().trimmed());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("HOME"), home);
    // A private temporary folder holds the single-instance socket, away from any running app.
    QDir(home).mkpath(QStringLiteral("tmp"));
    env.insert(QStringLiteral("TMPDIR"), home + QStringLiteral("/tmp"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
    env.insert(QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS"),
               QStringLiteral("--no-sandbox --disable-gpu --proxy-server=http://127.0.0.1:9"));
    env.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));

    QProcess trayer;
    trayer.setProcessEnvironment(env);
    trayer.start(QStringLiteral("trayer"), {"--edge", "top", "--align", "right", "--widthtype",
                                            "request", "--height", "32", "--transparent", "false"});
    QString tray;
    for (int i = 0; i < 100 && tray.isEmpty(); ++i) {
        QThread::msleep(50);
        tray = run(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--class", "trayer"}, env)
                   .split('\n')
                   .first()
                   .trimmed();
    }
    const auto trayWidth = [&] {
        const QString shell =
            run(QStringLiteral("xdotool"), {"getwindowgeometry", "--shell", tray}, env);
        return field(shell, QStringLiteral("WIDTH")).value_or(QStringLiteral("0")).toInt();
    };
    const int emptyWidth = trayWidth();

    // Warm the file cache with one start first, as a user's second launch would find it.
    double startMs = 0;
    long rssKb = 0;
    int helpers = 0;
    QProcess app;
    for (int round = 0; round < 2; ++round) {
        app.setProcessEnvironment(env);
        QElapsedTimer clock;
        clock.start();
        app.start(binary, {});
        app.waitForStarted();
        // The tray widens when it embeds the icon. xdotool's own start-up is subtracted.
        QElapsedTimer probe;
        while (trayWidth() <= emptyWidth && clock.elapsed() < 20000) {
        }
        probe.start();
        trayWidth();
        startMs = clock.elapsed() - probe.elapsed() / 2.0;
        QThread::msleep(1000);
        rssKb = residentKb(app.processId(), false);
        helpers = childCount(app.processId());
        if (round == 0) {
            app.terminate();
            app.waitForFinished(10000);
            for (int i = 0; i < 100 && trayWidth() > emptyWidth; ++i) QThread::msleep(50);
        }
    }
    std::printf("app_start_to_tray_icon: %.0f ms\n", startMs);
    std::printf("app_rss_after_start: %.1f MB\n", rssKb / 1024.0);
    std::printf("app_child_processes_after_start: %d count\n", helpers);

    // A click on the icon opens the panel, whose appearance starts the first Claude fetch.
    const QString shell =
        run(QStringLiteral("xdotool"), {"getwindowgeometry", "--shell", tray}, env);
    const int x =
        field(shell, "X").value_or("0").toInt() + field(shell, "WIDTH").value_or("0").toInt() - 12;
    const int y = field(shell, "Y").value_or("0").toInt() + 16;
    run(QStringLiteral("xdotool"),
        {"mousemove", QString::number(x), QString::number(y), "click", "1"}, env);
    QThread::msleep(8000);
    std::printf("app_rss_after_first_claude_fetch: %.1f MB\n",
                residentKb(app.processId(), false) / 1024.0);
    std::printf("app_rss_with_webengine_processes: %.1f MB\n",
                residentKb(app.processId(), true) / 1024.0);

    app.terminate();
    app.waitForFinished(10000);
    trayer.terminate();
    trayer.waitForFinished(3000);
    xvfb.terminate();
    xvfb.waitForFinished(3000);
}

}  // namespace qm::bench
