#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "browser/ClaudeWebPage.h"
#include "browser/ClaudeWebSession.h"
#include "support/QtPrinters.h"

using namespace qm;

namespace {

QJsonValue json(const char* text) {
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray("[") + text + "]");
    return doc.array().at(0);
}

}  // namespace

TEST(ClaudeScriptPayload, ReadsMembersLeniently) {
    EXPECT_FALSE(ClaudeScriptPayload::fromMessage(json("[1,2]")));
    EXPECT_FALSE(ClaudeScriptPayload::fromMessage(json(R"("text")")));
    EXPECT_FALSE(ClaudeScriptPayload::fromMessage(json("null")));

    auto p = ClaudeScriptPayload::fromMessage(json(R"({"ok":1,"status":401.0,"data":"{}"})"));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->id, QString());
    EXPECT_TRUE(p->ok);
    EXPECT_EQ(p->status, 401);
    EXPECT_EQ(p->data, QStringLiteral("{}"));

    p = ClaudeScriptPayload::fromMessage(
        json(R"({"__id":7,"ok":"true","status":"401","error":5,"message":null,"data":{}})"));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->id, QString());
    EXPECT_FALSE(p->ok);
    EXPECT_FALSE(p->status);
    EXPECT_FALSE(p->error);
    EXPECT_FALSE(p->message);
    EXPECT_FALSE(p->data);

    // A status no integer can hold is dropped rather than converted.
    p = ClaudeScriptPayload::fromMessage(json(R"({"__id":"n","status":1e300,"ok":0})"));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->id, QStringLiteral("n"));
    EXPECT_FALSE(p->ok);
    EXPECT_FALSE(p->status);
}

TEST(ClaudeScriptPayload, FailureCodeJoinsErrorStatusAndMessage) {
    ClaudeScriptPayload p;
    EXPECT_EQ(p.failureCode(), QStringLiteral("unknown"));
    p.error = QStringLiteral("usage_failed");
    p.status = 429;
    EXPECT_EQ(p.failureCode(), QStringLiteral("usage_failed_429"));
    p.message = QString();
    EXPECT_EQ(p.failureCode(), QStringLiteral("usage_failed_429"));
    p.message = QStringLiteral("slow down");
    EXPECT_EQ(p.failureCode(), QStringLiteral("usage_failed_429: slow down"));
    p.status.reset();
    p.error = QStringLiteral("exception");
    p.message = QStringLiteral("TypeError: Failed to fetch");
    EXPECT_EQ(p.failureCode(), QStringLiteral("exception: TypeError: Failed to fetch"));
}

// What the user reads is a sentence with the next step, never the page's raw failure; the
// kind decides whether the figures stay on screen.
TEST(ClaudeWebSessionError, EveryFailureReadsAsOneOfThreePlainSentences) {
    using Kind = ClaudeWebSessionError::Kind;
    const QString unreachable = "Can't reach claude.ai. Check the connection, then Refresh.";
    const QString signIn = "Sign in to Claude to see your limits.";
    const QString changed = "claude.ai changed its answer; the limits can't be read.";
    const std::vector<std::tuple<const char*, Kind, QString>> cases{
        {"exception: TypeError: Failed to fetch", Kind::requestFailed, unreachable},
        {"timeout", Kind::timeout, unreachable},
        {"timeout_504", Kind::requestFailed, unreachable},
        {"orgs_failed_502", Kind::requestFailed, unreachable},
        {"usage_failed_429", Kind::requestFailed, unreachable},
        {"cancelled", Kind::requestFailed, unreachable},
        {"script_failed: the script did not run", Kind::requestFailed, unreachable},
        {"not_logged_in_401", Kind::notLoggedIn, signIn},
        {"not_logged_in_403", Kind::notLoggedIn, signIn},
        {"usage_failed_404", Kind::requestFailed, changed},
        {"no_org", Kind::requestFailed, changed},
        {"exception: SyntaxError: Unexpected token < in JSON", Kind::requestFailed, changed},
    };
    for (const auto& [code, kind, sentence] : cases) {
        const auto error = ClaudeWebSessionError::fromFailureCode(QString::fromLatin1(code));
        EXPECT_EQ(error.kind, kind) << code;
        EXPECT_EQ(error.sentence(), sentence) << code;
    }
    EXPECT_EQ((ClaudeWebSessionError{Kind::parseFailed, {}}).sentence(), changed);
    EXPECT_EQ((ClaudeWebSessionError{Kind::noData, {}}).sentence(), changed);
}

TEST(ClaudeNavigationDelegate, KeepsThePageOnTheClaudeSite) {
    ClaudeNavigationDelegate policy{QStringLiteral("claude.ai"),
                                    QStringLiteral("accounts.google.com"), false};
    struct Case {
        const char* url;
        bool signedOutFetch;
        bool signingIn;
    };
    const Case cases[] = {
        {"https://claude.ai/", true, true},
        {"https://CLAUDE.AI/login", true, true},
        {"http://claude.ai:8080/x?y", true, true},
        {"https://www.claude.ai/", true, true},
        {"https://evilclaude.ai/", false, false},
        {"https://claude.ai.example.com/", false, false},
        {"https://accounts.google.com/o/oauth2", false, true},
        {"https://x.accounts.google.com/", false, true},
        {"https://google.com/", false, false},
        {"https://appleid.apple.com/", false, false},
        {"about:blank", true, true},
        {"about:srcdoc", true, true},
        {"data:text/html,hi", false, false},
        {"file:///etc/passwd", false, false},
        {"javascript:alert(1)", false, false},
        {"", false, false},
    };
    for (const Case& c : cases) {
        const QUrl url(QString::fromLatin1(c.url));
        policy.allowsGoogleLogin = false;
        EXPECT_EQ(policy.allows(url), c.signedOutFetch) << c.url;
        policy.allowsGoogleLogin = true;
        EXPECT_EQ(policy.allows(url), c.signingIn) << c.url;
    }
}
