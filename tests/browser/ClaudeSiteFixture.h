#pragma once

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QSignalSpy>
#include <QTimer>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <chrono>
#include <memory>

#include "browser/ClaudeWebSession.h"
#include "support/FakeClaudeSite.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"

namespace qm::test {

inline std::string describe(const ClaudeUsageResult& result) {
    if (std::holds_alternative<UsageApiResponse>(result)) return "usage";
    return std::get<ClaudeWebSessionError>(result).description().toStdString();
}

// A real web session against the fake site, with time limits short enough for tests. The
// Google sign-in host is "localhost", which reaches the same fake site under another name.
class ClaudeSiteFixture : public ::testing::Test {
protected:
    static ClaudeWebSessionTimings quick() {
        using std::chrono::milliseconds;
        return {milliseconds(3000), milliseconds(50), milliseconds(5000)};
    }

    std::unique_ptr<ClaudeWebSession> makeSession(ClaudeWebSessionTimings timings = quick()) {
        return std::make_unique<ClaudeWebSession>(dir.path(), site.origin(),
                                                  QStringLiteral("localhost"), timings);
    }

    QUrl googleUrl(const QByteArray& path) const {
        return QUrl(QStringLiteral("http://localhost:%1").arg(site.origin().port()) +
                    QString::fromLatin1(path));
    }

    static void loadAndWait(QWebEnginePage* page, const QUrl& url) {
        QSignalSpy finished(page, &QWebEnginePage::loadFinished);
        page->load(url);
        ASSERT_TRUE(finished.wait(15000)) << url.toString().toStdString();
    }

    // What the user does in the login window: the site sets its session cookie.
    void signIn(ClaudeWebSession& session) {
        loadAndWait(session.page(), site.url("/auth/signin"));
    }

    static QVariant evaluate(QWebEnginePage* page, const QString& script, quint32 world) {
        QVariant result;
        QEventLoop loop;
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        page->runJavaScript(script, world, [&](const QVariant& v) {
            result = v;
            loop.quit();
        });
        loop.exec();
        return result;
    }

    TempDir dir;
    FakeClaudeSite site;
};

}  // namespace qm::test
