#include <gtest/gtest.h>

#include <QDateTime>

#include "relay/GeminiRelayMetering.h"
#include "support/QtPrinters.h"

namespace qm {
namespace {

using namespace GeminiRelayMetering;

RequestFacts facts(const QString& model = QStringLiteral("gemini-2.5-flash"),
                   std::optional<QString> agent = QStringLiteral("  sdk/1.0 (linux) ")) {
    return RequestFacts{model, QStringLiteral("acct1"), std::move(agent), 42};
}

TEST(RelayMetering, BufferedAnswerFillsTheRecord) {
    const QByteArray body =
        R"({"candidates":[],"usageMetadata":{"promptTokenCount":1000,"candidatesTokenCount":200,
            "cachedContentTokenCount":100,"thoughtsTokenCount":50,"toolUsePromptTokenCount":7}})";
    const std::int64_t before = QDateTime::currentMSecsSinceEpoch();
    const auto record = recordFromJson(body, facts());
    ASSERT_TRUE(record);
    EXPECT_GE(record->timestampMs, before);
    EXPECT_EQ(record->accountId, "acct1");
    EXPECT_EQ(record->model, "gemini-2.5-flash");
    EXPECT_EQ(record->inputTokens, 1000);
    EXPECT_EQ(record->outputTokens, 200);
    EXPECT_EQ(record->cacheTokens, 100);
    EXPECT_EQ(record->thinkingTokens, 50);
    EXPECT_EQ(record->toolTokens, 7);
    // The prompt count holds the 100 cached tokens; thinking is billed as output. Recomputed
    // for the maintained list's cache rate of 0.03:
    // 900 x 0.3 + 100 x 0.03 + (200 + 50) x 2.5 = 270 + 3 + 625 = 898 $ per million.
    EXPECT_DOUBLE_EQ(record->costUsd, 898 / 1e6);
    EXPECT_EQ(record->latencyMs, 42);
    EXPECT_EQ(record->source, "relay");
    EXPECT_EQ(record->clientUserAgent, QStringLiteral("sdk/1.0 (linux)"));
}

TEST(RelayMetering, BufferedAnswerWithoutUsageHasNoRecord) {
    EXPECT_FALSE(recordFromJson(R"({"error":{"code":400}})", facts()));
    EXPECT_FALSE(recordFromJson(R"({"usageMetadata":3})", facts()));
    EXPECT_FALSE(recordFromJson(R"([{"usageMetadata":{}}])", facts()));
    EXPECT_FALSE(recordFromJson("not json", facts()));
    EXPECT_FALSE(recordFromJson("", facts()));
}

TEST(RelayMetering, OddUsageValues) {
    const auto counts = [](const QByteArray& usage) {
        return recordFromJson(R"({"usageMetadata":)" + usage + "}", facts());
    };
    EXPECT_EQ(counts(R"({"promptTokenCount":"120"})")->inputTokens, 120);
    EXPECT_EQ(counts(R"({"promptTokenCount":120.9})")->inputTokens, 120);
    EXPECT_EQ(counts(R"({"promptTokenCount":-3.7})")->inputTokens, -3);
    EXPECT_EQ(counts(R"({"promptTokenCount":"+7"})")->inputTokens, 7);
    EXPECT_EQ(counts(R"({"promptTokenCount":"12a"})")->inputTokens, 0);
    EXPECT_EQ(counts(R"({"promptTokenCount":1e300})")->inputTokens, 0);
    EXPECT_EQ(counts(R"({"promptTokenCount":18446744073709551615})")->inputTokens, 0);
    EXPECT_EQ(counts(R"({"promptTokenCount":true,"candidatesTokenCount":null})")->inputTokens, 0);
    const auto empty = counts("{}");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->inputTokens + empty->outputTokens + empty->cacheTokens, 0);
}

TEST(RelayMetering, ModelWithoutPriceAndMissingAgent) {
    const QByteArray body = R"({"usageMetadata":{"promptTokenCount":5,"candidatesTokenCount":6}})";
    const auto unpriced =
        recordFromJson(body, facts(QStringLiteral("mystery-model"), std::nullopt));
    ASSERT_TRUE(unpriced);
    EXPECT_EQ(unpriced->costUsd, 0);
    EXPECT_EQ(unpriced->inputTokens, 5);
    EXPECT_FALSE(unpriced->clientUserAgent);
    const auto blank = recordFromJson(body, facts(QString(), QStringLiteral("  ")));
    EXPECT_EQ(blank->model, "unknown");
    EXPECT_FALSE(blank->clientUserAgent);
}

TEST(RelayMetering, StreamTakesTheLastUsageEvent) {
    const QByteArray stream =
        "data: {\"usageMetadata\":{\"promptTokenCount\":10,\"candidatesTokenCount\":1}}\r\n\r\n"
        ": comment\r\n"
        "data: not json\r\n\r\n"
        "data: {\"candidates\":[]}\r\n\r\n"
        "data:{\"usageMetadata\":{\"promptTokenCount\":10,\"candidatesTokenCount\":9}}\n\n"
        "data: [DONE]\n";
    const auto record = recordFromStream(stream, facts());
    ASSERT_TRUE(record);
    EXPECT_EQ(record->inputTokens, 10);
    EXPECT_EQ(record->outputTokens, 9);
}

TEST(RelayMetering, StreamFallsBackToJsonBodies) {
    const QByteArray array =
        R"([{"usageMetadata":{"promptTokenCount":1}},{"usageMetadata":{"promptTokenCount":2}},
            {"candidates":[]}])";
    EXPECT_EQ(recordFromStream(array, facts())->inputTokens, 2);
    EXPECT_EQ(
        recordFromStream(R"({"usageMetadata":{"candidatesTokenCount":4}})", facts())->outputTokens,
        4);
    EXPECT_FALSE(recordFromStream("data: [DONE]\n", facts()));
    EXPECT_FALSE(recordFromStream("", facts()));
    EXPECT_FALSE(metadataFromJsonBody("[1,2]"));
}

TEST(RelayMetering, StreamCutInsideACharacterStillMeters) {
    // A 4 MiB capture may end inside a multi-byte character; the events before it count.
    QByteArray stream =
        "data: {\"usageMetadata\":{\"promptTokenCount\":3,\"candidatesTokenCount\":4}}\n\n"
        "data: {\"text\":\"\xC3";
    const auto record = recordFromStream(stream, facts());
    ASSERT_TRUE(record);
    EXPECT_EQ(record->outputTokens, 4);
}

// Gemini's OpenAI-compatible answers price exactly like the native answer with the same counts.
TEST(RelayMetering, OpenAiCompatibleAnswers) {
    const RequestFacts openAiFacts = facts(modelOfOpenAiRequest(
        R"({"model":"models/gemini-2.5-flash","messages":[],"stream":false})"));
    EXPECT_EQ(openAiFacts.model, "gemini-2.5-flash");
    const QByteArray buffered =
        R"({"id":"x","object":"chat.completion","choices":[],"usage":{"prompt_tokens":1000,
            "completion_tokens":250,"total_tokens":1250,"prompt_tokens_details":{"cached_tokens":100},
            "completion_tokens_details":{"reasoning_tokens":50}}})";
    const auto record = recordFromOpenAiJson(buffered, openAiFacts);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->inputTokens, 1000);
    EXPECT_EQ(record->cacheTokens, 100);
    EXPECT_EQ(record->outputTokens, 200) << "reasoning is counted as thinking, not twice";
    EXPECT_EQ(record->thinkingTokens, 50);
    const UsageCounts native{1000, 200, 100, 50, 0};
    EXPECT_DOUBLE_EQ(record->costUsd, makeRecord(native, openAiFacts, 0).costUsd);
    EXPECT_GT(record->costUsd, 0);

    const QByteArray withUsage =
        "data: {\"choices\":[{\"delta\":{\"content\":\"Hel\"}}],\"usage\":null}\n\n"
        "data: {\"choices\":[{\"delta\":{\"content\":\"lo\"}}]}\n\n"
        "data: {\"choices\":[],\"usage\":{\"prompt_tokens\":12,\"completion_tokens\":3}}\n\n"
        "data: [DONE]\n\n";
    const auto streamed = recordFromOpenAiStream(withUsage, openAiFacts);
    ASSERT_TRUE(streamed);
    EXPECT_EQ(streamed->inputTokens, 12);
    EXPECT_EQ(streamed->outputTokens, 3);
    const QByteArray withoutUsage =
        "data: {\"choices\":[{\"delta\":{\"content\":\"Hi\"}}]}\n\ndata: [DONE]\n\n";
    EXPECT_FALSE(recordFromOpenAiStream(withoutUsage, openAiFacts));
    EXPECT_FALSE(recordFromOpenAiJson(R"({"error":{"code":400}})", openAiFacts));

    EXPECT_TRUE(openAiRequestStreams(R"({"model":"m","stream":true})"));
    EXPECT_FALSE(openAiRequestStreams(R"({"model":"m","stream":"true"})"));
    EXPECT_FALSE(openAiRequestStreams("not json"));
    EXPECT_EQ(modelOfOpenAiRequest("[]"), "");
}

}  // namespace
}  // namespace qm
