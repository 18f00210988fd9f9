#pragma once

#include <QString>
#include <QUrl>
#include <QWebEnginePage>

namespace qm {

// Which navigations the Claude page may follow: the Claude site and its subdomains always,
// the Google sign-in host only while the user is signing in, blank pages, nothing else.
struct ClaudeNavigationDelegate {
    QString claudeHost;        // lower case
    QString googleSignInHost;  // lower case
    bool allowsGoogleLogin = false;

    bool allows(const QUrl& url) const;
    // The host itself or any subdomain of it.
    static bool hostMatches(const QString& host, const QString& base);
};

// The one page of the Claude session. It never opens other windows and keeps the site's
// console chatter out of the program's output.
class ClaudeWebPage : public QWebEnginePage {
    Q_OBJECT
public:
    ClaudeWebPage(QWebEngineProfile* profile, ClaudeNavigationDelegate navigation,
                  QObject* parent = nullptr);

    ClaudeNavigationDelegate& navigation() { return navigation_; }
    const ClaudeNavigationDelegate& navigation() const { return navigation_; }

Q_SIGNALS:
    void navigationRefused(const QUrl& url, bool isMainFrame);

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
    QWebEnginePage* createWindow(WebWindowType type) override;
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message,
                                  int lineNumber, const QString& sourceId) override;

private:
    ClaudeNavigationDelegate navigation_;
};

}  // namespace qm
