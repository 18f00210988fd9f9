#include <gtest/gtest.h>

#include "ProviderTestSupport.h"
#include "core/Iso8601.h"
#include "providers/GrokUsageProvider.h"
#include "support/QtPrinters.h"

using namespace qm;
using namespace qm::test;
using namespace qm::test::FakeProviderBodies;

TEST(GrokUsageProvider, ValidationDescribesTheKeyEvenWhenDisabled) {
    auto server = FakeProviderServer::playing(FakeProvider::xai, "xai-good");
    const GrokUsageProvider client(server->baseUrl(), kShortTimeout);
    server->route("/v1/api-key", FakeProviderResponse::json(200, xaiApiKey(/*disabled=*/true)));
    const ProviderValidation v = run(client.validateKey("xai-good"));
    ASSERT_TRUE(v.ok);
    EXPECT_EQ(v.message, "API key validated. xAI does not expose organization usage reporting.");
    ASSERT_TRUE(v.keyInfo);
    EXPECT_EQ(v.keyInfo->name, "laptop");
    EXPECT_EQ(v.keyInfo->userId, "user-1");
    EXPECT_EQ(v.keyInfo->teamId, "team-1");
    EXPECT_EQ(v.keyInfo->disabled, true);
    EXPECT_EQ(v.keyInfo->createdAt, Iso8601::parse(QStringLiteral("2025-03-01T10:20:30.123Z")));
    EXPECT_EQ(v.keyInfo->allowedModels, QStringList{"grok-4"});
    EXPECT_EQ(v.keyInfo->allowedAcls, QStringList{"api-key:model:*"});
    EXPECT_TRUE(v.keyInfo->availableModels.isEmpty());
    EXPECT_EQ(v.keyInfo->modelCount, std::nullopt);
    EXPECT_EQ(server->requests().at(0).header("authorization"), "Bearer xai-good");
}

TEST(GrokUsageProvider, FailuresOfValidationAndModelList) {
    auto server = FakeProviderServer::playing(FakeProvider::xai, "xai-good");
    const GrokUsageProvider client(server->baseUrl(), kShortTimeout);
    EXPECT_EQ(run(client.validateKey("\t")).errorMessage, "Empty API key");
    EXPECT_EQ(run(client.validateKey("xai-bad")).errorMessage, "Invalid API key (401)");
    server->route("/v1/api-key",
                  FakeProviderResponse::json(403, xaiError("Forbidden", "Key blocked")));
    EXPECT_EQ(run(client.validateKey("xai-good")).errorMessage, "HTTP 403: Key blocked");

    const GrokUsageProvider::ModelList models = run(client.listModels("xai-good"));
    EXPECT_EQ(models,
              (GrokUsageProvider::ModelList{true, std::nullopt, {"grok-4", "grok-3-mini"}}));
    EXPECT_EQ(run(client.listModels("xai-bad")).errorMessage,
              "HTTP 401: Incorrect API key provided");
    EXPECT_EQ(run(client.listModels("")).errorMessage, "HTTP 401: Incorrect API key provided");

    server->route("/v1/models",
                  FakeProviderResponse::json(200, R"({"data": [{"object": "model"}]})"));
    EXPECT_EQ(run(client.listModels("xai-good")), (GrokUsageProvider::ModelList{true, {}, {}}));
    server->route("/v1/models", FakeProviderResponse::silence());
    EXPECT_EQ(run(client.listModels("xai-good")),
              (GrokUsageProvider::ModelList{false, "Timeout", {}}));
}

TEST(GeminiUsageProvider, ValidationCountsModelsWithTheKeyInTheQuery) {
    auto server = FakeProviderServer::playing(FakeProvider::gemini, "AIza+good/key");
    const GeminiUsageProvider client(server->baseUrl(), kShortTimeout);
    const ProviderValidation v = run(client.validateKey("AIza+good/key"));
    ASSERT_TRUE(v.ok) << v.errorMessage.value_or("").toStdString();
    EXPECT_EQ(v.message, "Validation OK (2 models). Gemini usage API is not available.");
    ProviderKeyInfo expected;
    expected.modelCount = 2;
    EXPECT_EQ(v.keyInfo, expected);
    EXPECT_EQ(server->requests().at(0).target, "/v1beta/models?key=AIza%2Bgood/key");

    server->route("/v1beta/models", FakeProviderResponse::json(200, geminiModels({})));
    EXPECT_EQ(run(client.validateKey("k")).message,
              "Validation OK (0 models). Gemini usage API is not available.");
}

TEST(GeminiUsageProvider, FailureTexts) {
    auto server = FakeProviderServer::playing(FakeProvider::gemini, "good");
    const GeminiUsageProvider client(server->baseUrl(), kShortTimeout);
    EXPECT_EQ(run(client.validateKey("  ")).errorMessage, "Empty API key");
    EXPECT_EQ(run(client.validateKey("bad")).errorMessage,
              "HTTP 400: API key not valid. Please pass a valid API key.");
    for (int status : {401, 403}) {
        server->route(
            "/v1beta/models",
            FakeProviderResponse::json(status, geminiError(status, "denied", "PERMISSION_DENIED")));
        EXPECT_EQ(run(client.validateKey("good")).errorMessage, "Invalid API key (401/403)");
    }
    server->route("/v1beta/models", FakeProviderResponse::silence());
    EXPECT_EQ(run(client.validateKey("good")).errorMessage, "Timeout");
}
