#include "browser/ClaudeWebPage.h"

namespace qm {

bool ClaudeNavigationDelegate::hostMatches(const QString& host, const QString& base) {
    if (base.isEmpty()) return false;
    return host == base || host.endsWith(QLatin1Char('.') + base);
}

bool ClaudeNavigationDelegate::allows(const QUrl& url) const {
    if (url.isEmpty() || !url.isValid()) return false;
    if (url.scheme() == QLatin1String("about")) return true;
    const QString host = url.host().toLower();
    if (hostMatches(host, claudeHost)) return true;
    return allowsGoogleLogin && hostMatches(host, googleSignInHost);
}

ClaudeWebPage::ClaudeWebPage(QWebEngineProfile* profile, ClaudeNavigationDelegate navigation,
                             QObject* parent)
    : QWebEnginePage(profile, parent), navigation_(std::move(navigation)) {}

bool ClaudeWebPage::acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) {
    if (navigation_.allows(url)) return true;
    Q_EMIT navigationRefused(url, isMainFrame);
    return false;
}

QWebEnginePage* ClaudeWebPage::createWindow(WebWindowType) {
    return nullptr;
}

void ClaudeWebPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString&, int,
                                             const QString&) {}

}  // namespace qm
