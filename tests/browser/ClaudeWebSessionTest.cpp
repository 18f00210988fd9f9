#include <gtest/gtest.h>

#include <QCoroTask>
#include <QFile>
#include <QTest>
#include <QWebEngineView>
#include <functional>
#include <iostream>

#include "ClaudeSiteFixture.h"

using namespace qm;
using namespace qm::test;
using Kind = ClaudeWebSessionError::Kind;

namespace {

const FakeClaudeRequest* findRequest(const QList<FakeClaudeRequest>& all, const QByteArray& path) {
    for (const auto& r : all) {
        if (r.path == path) return &r;
    }
    return nullptr;
}

}  // namespace

class ClaudeWebSessionTest : public ClaudeSiteFixture {};

TEST_F(ClaudeWebSessionTest, SignedInFetchSendsCookiesAndDecodesTheAnswer) {
    auto session = makeSession();
    signIn(*session);
    const ClaudeUsageResult result = QCoro::waitFor(session->fetchUsage());
    ASSERT_TRUE(std::holds_alternative<UsageApiResponse>(result)) << describe(result);
    const UsageApiResponse& usage = std::get<UsageApiResponse>(result);
    ASSERT_TRUE(usage.fiveHour);
    EXPECT_EQ(usage.fiveHour->utilization, 42.5);
    EXPECT_EQ(usage.fiveHour->resetsAt, QStringLiteral("2030-01-01T05:00:00.000+00:00"));
    EXPECT_EQ(usage.sevenDaySonnet->utilization, 3);

    const auto requests = site.requests();
    for (const QByteArray& path : {QByteArray("/api/organizations"), site.usagePath()}) {
        const FakeClaudeRequest* r = findRequest(requests, path);
        ASSERT_NE(r, nullptr) << path.toStdString();
        EXPECT_EQ(r->cookie("sessionKey"), FakeClaudeSite::kSessionToken);
        EXPECT_TRUE(r->query.startsWith("_t=")) << r->query.toStdString();
        EXPECT_EQ(r->headers.value("accept"), "application/json");
        EXPECT_EQ(r->headers.value("pragma"), "no-cache");
    }

    // Already on the site: the next fetch runs in place, without loading a page.
    const int pageLoads = site.requestCount("/");
    const ClaudeUsageResult again = QCoro::waitFor(session->fetchUsage());
    EXPECT_TRUE(std::holds_alternative<UsageApiResponse>(again)) << describe(again);
    EXPECT_EQ(site.requestCount("/"), pageLoads);
    EXPECT_EQ(site.requestCount(site.usagePath()), 2);
}

TEST_F(ClaudeWebSessionTest, SignInSurvivesARestartOfTheSession) {
    {
        auto first = makeSession();
        signIn(*first);
    }
    // The browser writes its cookie database in the background, in batches and when the
    // profile goes; a restart that opens the database before that write would find no
    // sign-in through no fault of the session. The restart waits for the cookie on disk, as
    // the next start of the program, much later, finds it.
    const QString cookies = dir.filePath("ClaudeWeb/Cookies");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            QFile file(cookies);
            return file.open(QIODevice::ReadOnly) && file.readAll().contains("sessionKey");
        },
        40000))
        << "the sign-in never reached " << cookies.toStdString();
    auto second = makeSession();
    const ClaudeUsageResult result = QCoro::waitFor(second->fetchUsage());
    EXPECT_TRUE(std::holds_alternative<UsageApiResponse>(result)) << describe(result);
    EXPECT_EQ(site.requestCount("/"), 2);  // the new page had to load the site first
}

TEST_F(ClaudeWebSessionTest, PageShownInAViewKeepsWorkingAfterTheViewIsGone) {
    auto session = makeSession();
    {
        QWebEngineView view;
        session->prepareForVisibleLogin();
        view.setPage(session->page());
        view.resize(640, 480);
        view.show();
        QCoro::waitFor(session->loadLoginPage());
        EXPECT_EQ(session->page()->url().path(), QStringLiteral("/login"));
        signIn(*session);
    }
    const ClaudeUsageResult result = QCoro::waitFor(session->fetchUsage());
    EXPECT_TRUE(std::holds_alternative<UsageApiResponse>(result)) << describe(result);
}

TEST_F(ClaudeWebSessionTest, TheSiteCannotSeeTheChannel) {
    auto session = makeSession();
    signIn(*session);
    ASSERT_TRUE(std::holds_alternative<UsageApiResponse>(QCoro::waitFor(session->fetchUsage())));
    const QString probe = QStringLiteral(
        "[typeof qt, typeof QWebChannel, typeof window.__quotameterBridge].join(',')");
    EXPECT_EQ(evaluate(session->page(), probe, QWebEngineScript::MainWorld).toString(),
              QStringLiteral("undefined,undefined,undefined"));
    EXPECT_EQ(evaluate(session->page(), probe, QWebEngineScript::ApplicationWorld).toString(),
              QStringLiteral("object,function,object"));
}

// The site's answers and what the session makes of them.
struct FailureCase {
    const char* name;
    std::function<void(FakeClaudeSite&)> arrange;
    Kind kind;
    QString code;  // for requestFailed; a trailing "*" means "starts with"
};

// Names the case in test listings instead of gtest's dump of its bytes.
void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

class ClaudeWebSessionFailure : public ClaudeSiteFixture,
                                public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ClaudeWebSessionFailure, BecomesTheRightError) {
    const FailureCase& c = GetParam();
    c.arrange(site);
    auto session = makeSession();
    const ClaudeUsageResult result = QCoro::waitFor(session->fetchUsage());
    ASSERT_TRUE(std::holds_alternative<ClaudeWebSessionError>(result)) << "got usage";
    const auto& error = std::get<ClaudeWebSessionError>(result);
    EXPECT_EQ(error.kind, c.kind) << describe(result);
    if (c.code.endsWith('*')) {
        EXPECT_TRUE(error.code.startsWith(c.code.chopped(1))) << describe(result);
    } else {
        EXPECT_EQ(error.code, c.code);
    }
}

namespace {

FakeClaudeSite::Handler answer(int status, const QByteArray& body = "{}") {
    return [=](const FakeClaudeRequest&) { return FakeClaudeReply::json(status, body); };
}

const QByteArray kOrgs = R"([{"uuid":"4f2c7a10-8d3b-4e6a-9c51-0b7e2d9f6a3c"}])";

std::function<void(FakeClaudeSite&)> orgsThenUsage(int status, const QByteArray& body = "{}") {
    return [=](FakeClaudeSite& site) {
        site.route("/api/organizations", answer(200, kOrgs));
        site.route(site.usagePath(), answer(status, body));
    };
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    SiteAnswers, ClaudeWebSessionFailure,
    ::testing::Values(
        FailureCase{"SignedOut401OnOrganisations", [](FakeClaudeSite&) {}, Kind::notLoggedIn, {}},
        FailureCase{"SignedOut403OnOrganisations",
                    [](FakeClaudeSite& s) { s.route("/api/organizations", answer(403)); },
                    Kind::notLoggedIn,
                    {}},
        FailureCase{"SignedOut401OnUsage", orgsThenUsage(401), Kind::notLoggedIn, {}},
        FailureCase{"SignedOut403OnUsage", orgsThenUsage(403), Kind::notLoggedIn, {}},
        FailureCase{"EmptyOrganisationList",
                    [](FakeClaudeSite& s) { s.route("/api/organizations", answer(200, "[]")); },
                    Kind::requestFailed, QStringLiteral("no_org")},
        FailureCase{"OrganisationObjectInsteadOfList",
                    [](FakeClaudeSite& s) {
                        s.route("/api/organizations", answer(200, R"({"uuid":"x"})"));
                    },
                    Kind::requestFailed, QStringLiteral("no_org")},
        FailureCase{"OrganisationsServerError",
                    [](FakeClaudeSite& s) { s.route("/api/organizations", answer(500)); },
                    Kind::requestFailed, QStringLiteral("orgs_failed_500")},
        FailureCase{"UsageRateLimited", orgsThenUsage(429), Kind::requestFailed,
                    QStringLiteral("usage_failed_429")},
        FailureCase{"OrganisationWithoutUuid",
                    [](FakeClaudeSite& s) {
                        s.route("/api/organizations", answer(200, R"([{"name":"x"}])"));
                    },
                    Kind::requestFailed, QStringLiteral("usage_failed_404")},
        FailureCase{"UsageNotJson", orgsThenUsage(200, "<html>"), Kind::requestFailed,
                    QStringLiteral("exception: SyntaxError*")},
        FailureCase{"UsageOfWrongShape",
                    orgsThenUsage(200, R"({"five_hour":{"utilization":"9"}})"),
                    Kind::parseFailed,
                    {}},
        FailureCase{"UsageNotAnObject", orgsThenUsage(200, "[1]"), Kind::parseFailed, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ClaudeWebSessionTest, SilentSiteTimesOutAndStrayAnswersChangeNothing) {
    site.route("/api/organizations", answer(200, kOrgs));
    site.route(site.usagePath(),
               [](const FakeClaudeRequest&) { return FakeClaudeReply::noAnswer(); });
    auto timings = quick();
    timings.answerTimeout = std::chrono::milliseconds(2500);
    auto session = makeSession(timings);
    auto fetch = session->fetchUsage();
    ASSERT_TRUE(QTest::qWaitFor([&] { return site.requestCount(site.usagePath()) > 0; }, 15000));

    // Answers without the run's nonce, and bodies that are no objects, are dropped.
    evaluate(session->page(),
             QStringLiteral("window.__quotameterBridge.then(function (b) {"
                            "  b.postMessage({__id: 'bogus', ok: true, data: '{}'});"
                            "  b.postMessage({ok: true, data: '{}'});"
                            "  b.postMessage([1, 2]);"
                            "  b.postMessage('text');"
                            "}); 1"),
             QWebEngineScript::ApplicationWorld);
    const ClaudeUsageResult result = QCoro::waitFor(fetch);
    ASSERT_TRUE(std::holds_alternative<ClaudeWebSessionError>(result));
    EXPECT_EQ(std::get<ClaudeWebSessionError>(result).kind, Kind::timeout);
    EXPECT_EQ(std::get<ClaudeWebSessionError>(result).description(),
              QStringLiteral("Request timed out"));
}

TEST_F(ClaudeWebSessionTest, PageThatNeverLoadsDoesNotHangTheFetch) {
    site.route("/", [](const FakeClaudeRequest&) { return FakeClaudeReply::noAnswer(); });
    auto timings = quick();
    timings.navigationTimeout = std::chrono::milliseconds(1000);
    timings.answerTimeout = std::chrono::milliseconds(2000);
    auto session = makeSession(timings);
    const ClaudeUsageResult result = QCoro::waitFor(session->fetchUsage());
    EXPECT_TRUE(std::holds_alternative<ClaudeWebSessionError>(result));
    EXPECT_EQ(site.requestCount("/"), 1);
}

TEST_F(ClaudeWebSessionTest, RedirectsOffTheSiteAreRefused) {
    site.route("/", [](const FakeClaudeRequest&) {
        return FakeClaudeReply::redirect("http://elsewhere.invalid/landing");
    });
    auto session = makeSession();
    QSignalSpy refused(session.get(), &ClaudeWebSession::navigationRefused);
    const ClaudeUsageResult result = QCoro::waitFor(session->fetchUsage());
    EXPECT_TRUE(std::holds_alternative<ClaudeWebSessionError>(result));
    std::cerr << describe(result) << "\n";
    ASSERT_GE(refused.count(), 1);
    EXPECT_EQ(refused.at(0).at(0).toUrl().host(), QStringLiteral("elsewhere.invalid"));
    EXPECT_NE(session->page()->url().host(), QStringLiteral("elsewhere.invalid"));
}

TEST_F(ClaudeWebSessionTest, GoogleSignInIsReachableOnlyWhileSigningIn) {
    const QUrl google = googleUrl("/o/oauth2/auth");
    const auto toGoogle = [google](const FakeClaudeRequest&) {
        return FakeClaudeReply::redirect(google.toEncoded());
    };
    site.route("/", toGoogle);
    site.route("/login", toGoogle);
    site.route("/o/oauth2/auth", [](const FakeClaudeRequest&) {
        return FakeClaudeReply::html("<html><body>Choose an account</body></html>");
    });
    auto session = makeSession();
    QSignalSpy refused(session.get(), &ClaudeWebSession::navigationRefused);

    QCoro::waitFor(session->fetchUsage());
    ASSERT_EQ(refused.count(), 1);
    EXPECT_EQ(refused.at(0).at(0).toUrl().host(), QStringLiteral("localhost"));
    EXPECT_EQ(site.requestCount("/o/oauth2/auth"), 0);

    session->prepareForVisibleLogin();
    QCoro::waitFor(session->loadLoginPage());
    EXPECT_EQ(refused.count(), 1);
    EXPECT_EQ(session->page()->url().host(), QStringLiteral("localhost"));
    EXPECT_EQ(site.requestCount("/o/oauth2/auth"), 1);
    EXPECT_TRUE(session->allowsGoogleLogin());
}
