#include "claude/ClaudeWebSessionError.h"

#include <QRegularExpression>

namespace qm {

QString ClaudeWebSessionError::description() const {
    switch (kind) {
        case Kind::requestFailed:
        case Kind::browserFailed:
            return code;
        case Kind::notLoggedIn:
            return QStringLiteral("Login required");
        case Kind::timeout:
            return QStringLiteral("Request timed out");
        case Kind::noData:
            return QStringLiteral("No usage data returned");
        case Kind::parseFailed:
            return QStringLiteral("Usage response could not be parsed");
    }
    return code;
}

QString ClaudeWebSessionError::sentence() const {
    const QString unreachable =
        QStringLiteral("Can't reach claude.ai. Check the connection, then Refresh.");
    const QString changed =
        QStringLiteral("claude.ai changed its answer; the limits can't be read.");
    switch (kind) {
        case Kind::notLoggedIn:
            return QStringLiteral("Sign in to Claude to see your limits.");
        case Kind::timeout:
            return unreachable;
        case Kind::noData:
        case Kind::parseFailed:
            return changed;
        case Kind::browserFailed:
            return QStringLiteral("The Claude browser stopped. Refresh to try again.");
        case Kind::requestFailed:
            break;
    }
    // An answer the page could not read as JSON, a missing organisation or a refused path
    // (4xx) mean the site changed; a thrown fetch, a server error or a dead page mean it could
    // not be reached.
    static const QRegularExpression clientError(QStringLiteral("^[a-z_]+_4(?!29)\\d\\d"));
    if (code.contains(QLatin1String("SyntaxError")) || code.startsWith(QLatin1String("no_org")) ||
        clientError.match(code).hasMatch()) {
        return changed;
    }
    return unreachable;
}

ClaudeWebSessionError ClaudeWebSessionError::fromFailureCode(const QString& code) {
    if (code.startsWith(QLatin1String("not_logged_in"))) return {Kind::notLoggedIn, {}};
    if (code == QLatin1String("timeout")) return {Kind::timeout, {}};
    return {Kind::requestFailed, code};
}

ClaudeUsageResult readClaudeUsage(const QString& text) {
    if (auto response = UsageApiResponse::decode(text.toUtf8())) return *response;
    return ClaudeWebSessionError{ClaudeWebSessionError::Kind::parseFailed, {}};
}

}  // namespace qm
