// One fetch of the Claude limits through the real web session against the fake site on
// 127.0.0.1, with the real time limits: cold (a new session, its page not on the site yet, so
// the root page loads and settles first) and warm (the next fetch on the same session).
// Memory is the summed peak resident size of this process and every process it started
// (WebEngine's zygote, renderer and GPU helpers), read from /proc.

#include <unistd.h>

#include <QApplication>
#include <QCoroTask>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebEnginePage>
#include <chrono>
#include <cstdio>
#include <map>
#include <vector>

#include "browser/ClaudeWebSession.h"
#include "claude/HeadlessBrowser.h"
#include "support/FakeClaudeSite.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// pid -> (parent pid, peak resident kB)
std::map<int, std::pair<int, long>> processes() {
    std::map<int, std::pair<int, long>> all;
    for (const QString& name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool numeric = false;
        const int pid = name.toInt(&numeric);
        if (!numeric) continue;
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly)) continue;
        int parent = 0;
        long peak = 0;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("PPid:")) parent = line.mid(5).trimmed().toInt();
            if (line.startsWith("VmHWM:"))
                peak = line.mid(6).trimmed().split(' ').value(0).toLong();
        }
        all[pid] = {parent, peak};
    }
    return all;
}

double peakMegabytes() {
    const auto all = processes();
    std::vector<int> family{int(::getpid())};
    long total = 0;
    for (std::size_t i = 0; i < family.size(); ++i) {
        if (const auto it = all.find(family[i]); it != all.end()) total += it->second.second;
        for (const auto& [pid, info] : all) {
            if (info.first == family[i]) family.push_back(pid);
        }
    }
    return double(total) / 1024.0;
}

bool fetchOnce(qm::ClaudeWebSession& session, const char* label) {
    const auto start = Clock::now();
    const qm::ClaudeUsageResult result = QCoro::waitFor(session.fetchUsage());
    const double ms = msSince(start);
    if (!std::holds_alternative<qm::UsageApiResponse>(result)) {
        std::fprintf(stderr, "%s fetch failed: %s\n", label,
                     qPrintable(std::get<qm::ClaudeWebSessionError>(result).description()));
        return false;
    }
    std::printf("claude_fetch_%s_ms: %.0f ms\n", label, ms);
    std::printf("claude_fetch_%s_peak_memory_mb: %.0f MB\n", label, peakMegabytes());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    qm::bench::setHeadlessBrowserDefaults();
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QTemporaryDir data;
    qm::test::FakeClaudeSite site;
    std::printf("claude_process_before_webengine_peak_memory_mb: %.0f MB\n", peakMegabytes());

    {
        // Sign in once, as the login window would; the cookie lands in the profile on disk.
        qm::ClaudeWebSession signIn(data.path(), site.origin(), QStringLiteral("localhost"));
        QEventLoop loop;
        bool loaded = false;
        QObject::connect(signIn.page(), &QWebEnginePage::loadFinished, &loop, [&] {
            loaded = true;
            loop.quit();
        });
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        signIn.page()->load(site.url("/auth/signin"));
        loop.exec();
        if (!loaded) {
            std::fprintf(stderr, "the sign-in page did not load\n");
            return 1;
        }
    }
    // The browser writes its cookie database in the background; a session opened before that
    // write finds no sign-in ("Login required"), which is no figure of the fetch at all.
    const QString cookies = QDir(data.path()).filePath(QStringLiteral("ClaudeWeb/Cookies"));
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        QFile file(cookies);
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains("sessionKey")) break;
        if (waited.elapsed() > 40000) {
            std::fprintf(stderr, "the sign-in never reached %s\n", qPrintable(cookies));
            return 1;
        }
        QEventLoop pause;
        QTimer::singleShot(100, &pause, &QEventLoop::quit);
        pause.exec();
    }
    qm::ClaudeWebSession session(data.path(), site.origin(), QStringLiteral("localhost"));
    if (!fetchOnce(session, "cold") || !fetchOnce(session, "warm")) return 1;
    return 0;
}
