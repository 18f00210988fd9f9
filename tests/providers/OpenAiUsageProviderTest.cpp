#include <gtest/gtest.h>

#include "ProviderTestSupport.h"
#include "core/Pricing.h"
#include "providers/OpenAiUsageProvider.h"
#include "support/QtPrinters.h"

using namespace qm;
using namespace qm::test;
using namespace qm::test::FakeProviderBodies;

namespace {

constexpr TimeMs kOpenAiStart = 1'735'689'600'999;
constexpr TimeMs kOpenAiEnd = 1'736'294'400'000;
const QString kCompletions = "/v1/organization/usage/completions";
const QString kEmbeddings = "/v1/organization/usage/embeddings";

struct OpenAI {
    std::unique_ptr<FakeProviderServer> server =
        FakeProviderServer::playing(FakeProvider::openAi, "sk-admin-good");
    OpenAiUsageProvider client{server->baseUrl(), kShortTimeout};
};

}  // namespace

TEST(OpenAiUsageProvider, ValidationReadsTheOrganisationOfTheFirstProject) {
    OpenAI o;
    const ProviderValidation ok = run(o.client.validateKey("sk-admin-good"));
    EXPECT_TRUE(ok.ok);
    EXPECT_EQ(ok.organizationId, "org-1");
    EXPECT_EQ(ok.message, "Admin key validated.");
    EXPECT_EQ(o.server->requests().at(0).target, "/v1/organization/projects?limit=1");
    EXPECT_EQ(o.server->requests().at(0).header("authorization"), "Bearer sk-admin-good");

    o.server->route("/v1/organization/projects",
                    FakeProviderResponse::json(200, openAiProjects("proj_9", "")));
    EXPECT_EQ(run(o.client.validateKey("k")).organizationId, "proj_9");

    EXPECT_EQ(run(o.client.validateKey("")).errorMessage, "Empty API key");
    o.server->route(
        "/v1/organization/projects",
        FakeProviderResponse::json(401, openAiError("bad", "invalid_request_error", "x")));
    EXPECT_EQ(run(o.client.validateKey("k")).errorMessage, "Invalid API key (401)");
    o.server->route("/v1/organization/projects", FakeProviderResponse::json(403, ""));
    EXPECT_EQ(run(o.client.validateKey("k")).errorMessage,
              "Forbidden - Admin key required (sk-admin-*)");
    o.server->route("/v1/organization/projects",
                    FakeProviderResponse::json(
                        500, openAiError("The server had an error", "server_error", "")));
    EXPECT_EQ(run(o.client.validateKey("k")).errorMessage, "HTTP 500: The server had an error");
}

TEST(OpenAiUsageProvider, BothEndpointsAreAskedInOrderAndMerged) {
    OpenAI o;
    o.server->route(
        kEmbeddings,
        FakeProviderResponse::json(
            200, openAiUsage({{R"({"model": "gpt-4o", "input_tokens": 500, "output_tokens": 0})",
                               R"({"input_tokens": 9})",
                               R"({"model": "zz-private", "input_tokens": 1})"}})));
    const UsageFetchResult result =
        run(o.client.fetchUsage("sk-admin-good", kOpenAiStart, kOpenAiEnd));
    ASSERT_TRUE(result.ok) << result.errorMessage.value_or("").toStdString();
    const auto requests = o.server->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target,
              "/v1/organization/usage/completions?start_time=1735689600&end_time=1736294400"
              "&bucket_width=1d&group_by%5B%5D=model&limit=180");
    EXPECT_EQ(requests[1].path, kEmbeddings);
    ASSERT_EQ(result.buckets.size(), 3u);
    // gpt-4o: the 1500 input tokens hold the 50 cached ones, priced once at the cached rate:
    // 1450 x 2.5 + 50 x 1.25 + 100 x 10 = 3625 + 62.5 + 1000 = 4687.5 $ per million.
    EXPECT_DOUBLE_EQ(result.buckets[0].costUsd, 4687.5 / 1e6);
    EXPECT_EQ(result.buckets[0],
              (UsageBucket{"gpt-4o", 1500, 100, 0, 0, 50, result.buckets[0].costUsd}));
    EXPECT_EQ(result.buckets[1], (UsageBucket{"unknown", 9, 0, 0, 0, 0, 0}));
    EXPECT_EQ(result.buckets[2], (UsageBucket{"zz-private", 1, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(result.warnings.isEmpty());
}

TEST(OpenAiUsageProvider, OneFailingEndpointIsAWarningBothAreAFailure) {
    OpenAI o;
    o.server->route(kEmbeddings, FakeProviderResponse::json(403, ""));
    const UsageFetchResult partial =
        run(o.client.fetchUsage("sk-admin-good", kOpenAiStart, kOpenAiEnd));
    EXPECT_TRUE(partial.ok);
    EXPECT_EQ(partial.errorMessage, std::nullopt);
    ASSERT_EQ(partial.buckets.size(), 1u);
    EXPECT_EQ(partial.buckets[0].model, "gpt-4o");
    EXPECT_EQ(partial.warnings, QStringList{"usage/embeddings HTTP 403: unknown"});

    o.server->route(kCompletions, FakeProviderResponse::json(
                                      429, openAiError("Rate limit reached", "requests", "")));
    const UsageFetchResult failed =
        run(o.client.fetchUsage("sk-admin-good", kOpenAiStart, kOpenAiEnd));
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(
        failed.errorMessage,
        "usage/completions HTTP 429: Rate limit reached / usage/embeddings HTTP 403: unknown");
    EXPECT_EQ(failed.warnings.size(), 2);
    EXPECT_TRUE(failed.buckets.empty());
}

TEST(OpenAiUsageProvider, ABadAnswerOrTimeoutEndsTheWholeFetch) {
    OpenAI o;
    o.server->route(kEmbeddings, FakeProviderResponse::text(200, "upstream connect error"));
    const UsageFetchResult bad =
        run(o.client.fetchUsage("sk-admin-good", kOpenAiStart, kOpenAiEnd));
    EXPECT_FALSE(bad.ok);
    EXPECT_TRUE(bad.buckets.empty());
    EXPECT_TRUE(bad.errorMessage->startsWith("The provider's answer could not be decoded"));

    o.server->route(kEmbeddings, FakeProviderResponse::silence());
    const UsageFetchResult timedOut =
        run(o.client.fetchUsage("sk-admin-good", kOpenAiStart, kOpenAiEnd));
    EXPECT_EQ(timedOut, UsageFetchResult::failure("Timeout"));
}
