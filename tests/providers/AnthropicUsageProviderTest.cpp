#include <gtest/gtest.h>

#include "ProviderTestSupport.h"
#include "core/Pricing.h"
#include "providers/AnthropicUsageProvider.h"
#include "support/QtPrinters.h"

using namespace qm;
using namespace qm::test;
using namespace qm::test::FakeProviderBodies;

namespace {

constexpr TimeMs kStart = 1'735'689'600'000;  // 2025-01-01T00:00:00Z
constexpr TimeMs kEnd = 1'736'294'400'500;    // 2025-01-08T00:00:00.5Z

struct Anthropic {
    std::unique_ptr<FakeProviderServer> server =
        FakeProviderServer::playing(FakeProvider::anthropic, "sk-ant-admin-good");
    AnthropicUsageProvider client{server->baseUrl(), kShortTimeout};
};

// Sonnet 4.5 list prices by hand: input 3, output 15, cache read 0.3, cache write 3.75 (the
// report's writes carry no lifetime, so they are five-minute writes).
double sonnetCost(double input, double output, double write, double read) {
    return input / 1e6 * 3 + output / 1e6 * 15 + read / 1e6 * 0.3 + write / 1e6 * 3.75;
}

}  // namespace

TEST(AnthropicUsageProvider, ValidationSendsTheAdminHeadersAndReadsTheFirstOrganisation) {
    Anthropic a;
    const ProviderValidation ok = run(a.client.validateKey("sk-ant-admin-good"));
    EXPECT_TRUE(ok.ok);
    EXPECT_EQ(ok.organizationId, "org-1");
    EXPECT_EQ(ok.message, "Admin key validated.");
    EXPECT_EQ(ok.errorMessage, std::nullopt);
    ASSERT_EQ(a.server->requests().size(), 1u);
    EXPECT_EQ(a.server->requests()[0].target, "/v1/organizations");

    a.server->route("/v1/organizations", FakeProviderResponse::json(200, R"({"data": []})"));
    const ProviderValidation none = run(a.client.validateKey("sk-ant-admin-good"));
    EXPECT_TRUE(none.ok);
    EXPECT_EQ(none.organizationId, std::nullopt);

    a.server->route("/v1/organizations", FakeProviderResponse::json(200, R"({"items": []})"));
    const ProviderValidation undecodable = run(a.client.validateKey("sk-ant-admin-good"));
    EXPECT_FALSE(undecodable.ok);
    EXPECT_TRUE(undecodable.errorMessage->contains("data"));
}

TEST(AnthropicUsageProvider, ValidationFailuresHaveTheirOwnTexts) {
    Anthropic a;
    EXPECT_EQ(run(a.client.validateKey(" \n")).errorMessage, "Empty API key");
    EXPECT_TRUE(a.server->requests().empty());
    EXPECT_EQ(run(a.client.validateKey("sk-wrong")).errorMessage, "Invalid API key (401)");

    a.server->route("/v1/organizations",
                    FakeProviderResponse::json(403, anthropicError("permission_error", "no")));
    EXPECT_EQ(run(a.client.validateKey("k")).errorMessage, "Forbidden - Admin key required (403)");
    a.server->route("/v1/organizations", FakeProviderResponse::json(
                                             429, anthropicError("rate_limit_error", "Slow down")));
    EXPECT_EQ(run(a.client.validateKey("k")).errorMessage, "HTTP 429: Slow down");
    a.server->route("/v1/organizations", FakeProviderResponse::text(200, "<html>hi</html>"));
    const ProviderValidation html = run(a.client.validateKey("k"));
    EXPECT_FALSE(html.ok);
    EXPECT_TRUE(html.errorMessage->startsWith("The provider's answer could not be decoded"));
    EXPECT_EQ(html.organizationId, std::nullopt);
}

TEST(AnthropicUsageProvider, UsageRequestCarriesTheRangeAndEncodedQuery) {
    Anthropic a;
    const UsageFetchResult result = run(a.client.fetchUsage("sk-ant-admin-good", kStart, kEnd));
    ASSERT_TRUE(result.ok) << result.errorMessage.value_or("").toStdString();
    const auto requests = a.server->requestsTo("/v1/organizations/usage_report/messages");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target,
              "/v1/organizations/usage_report/messages?starting_at=2025-01-01T00:00:00Z"
              "&ending_at=2025-01-08T00:00:00Z&bucket_width=1d&group_by%5B%5D=model");
    EXPECT_EQ(requests[0].header("x-api-key"), "sk-ant-admin-good");
    EXPECT_EQ(requests[0].header("anthropic-version"), "2023-06-01");
    ASSERT_EQ(result.buckets.size(), 1u);
    EXPECT_EQ(result.buckets[0], (UsageBucket{"claude-sonnet-4-5", 1000, 200, 10, 20, 0,
                                              sonnetCost(1000, 200, 10, 20)}));
    EXPECT_TRUE(result.warnings.isEmpty());
    EXPECT_EQ(result.message, std::nullopt);
}

TEST(AnthropicUsageProvider, RowsMergePerModelAndArePricedOnlyWithoutCost) {
    QString error;
    const auto buckets = AnthropicUsageProvider::bucketsFromReport(
        anthropicUsageReport({
            {R"({"model": "claude-sonnet-4-5", "uncached_input_tokens": 0, "input_tokens": 500,
                 "output_tokens": 10})",
             R"({"model": "", "input_tokens": 7})", R"({"output_tokens": 3})",
             R"({"model": "claude-custom", "input_tokens": 100, "cost": 1.25})"},
            {R"({"model": "claude-sonnet-4-5", "input_tokens": 1000, "output_tokens": 20,
                 "cache_read_input_tokens": 40})",
             R"({"model": "claude-custom", "input_tokens": 100, "cost": 0.75})",
             R"({"model": "zz-unpriced", "input_tokens": 100})"},
        }),
        &error);
    ASSERT_TRUE(buckets) << error.toStdString();
    ASSERT_EQ(buckets->size(), 4u);
    EXPECT_EQ((*buckets)[0], (UsageBucket{"claude-custom", 200, 0, 0, 0, 0, 2.0}));
    EXPECT_EQ((*buckets)[1],
              (UsageBucket{"claude-sonnet-4-5", 1000, 30, 0, 40, 0, sonnetCost(1000, 30, 0, 40)}));
    // Unpriced models without cost sort last, by name.
    EXPECT_EQ((*buckets)[2], (UsageBucket{"unknown", 7, 3, 0, 0, 0, 0}));
    EXPECT_EQ((*buckets)[3], (UsageBucket{"zz-unpriced", 100, 0, 0, 0, 0, 0}));

    EXPECT_EQ(AnthropicUsageProvider::bucketsFromReport("{}", &error)->size(), 0u);
    EXPECT_FALSE(AnthropicUsageProvider::bucketsFromReport(
        anthropicUsageReport({{R"({"model": "m", "input_tokens": "12"})"}}), &error));
    EXPECT_TRUE(error.contains("input_tokens"));
}

TEST(AnthropicUsageProvider, UsageFailuresAreResultsWithMessages) {
    Anthropic a;
    const QString path = "/v1/organizations/usage_report/messages";
    EXPECT_EQ(run(a.client.fetchUsage("sk-wrong", kStart, kEnd)).errorMessage,
              "HTTP 401: invalid x-api-key");
    a.server->route(path, FakeProviderResponse::json(403, anthropicError("permission_error", "")));
    EXPECT_EQ(run(a.client.fetchUsage("k", kStart, kEnd)).errorMessage,
              "HTTP 403: permission_error");
    a.server->route(path, FakeProviderResponse::json(500, ""));
    const UsageFetchResult failed = run(a.client.fetchUsage("k", kStart, kEnd));
    EXPECT_EQ(failed, UsageFetchResult::failure("HTTP 500: unknown"));

    a.server->route(path, FakeProviderResponse::silence());
    EXPECT_EQ(run(a.client.fetchUsage("k", kStart, kEnd)).errorMessage, "Timeout");

    const AnthropicUsageProvider slow(a.server->baseUrl(), std::chrono::seconds(30));
    cancelSoon(slow);
    EXPECT_EQ(run(slow.fetchUsage("k", kStart, kEnd)).errorMessage, "Canceled");
    EXPECT_EQ(run(slow.validateKey("k")).errorMessage, "Invalid API key (401)");
}
