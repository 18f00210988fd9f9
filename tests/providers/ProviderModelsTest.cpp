#include <gtest/gtest.h>

#include "ProviderTestSupport.h"
#include "providers/ProviderHttpSession.h"
#include "providers/ProviderModels.h"
#include "support/QtPrinters.h"

using namespace qm;

TEST(ProviderHttp, ErrorTextFollowsTheProvidersShapesInOrder) {
    using ProviderHttp::errorMessage;
    EXPECT_EQ(errorMessage(""), std::nullopt);
    EXPECT_EQ(errorMessage("<html>bad gateway</html>"), std::nullopt);
    EXPECT_EQ(errorMessage(R"(["message"])"), std::nullopt);
    EXPECT_EQ(errorMessage(R"({"message": "top", "error": "second"})"), "top");
    EXPECT_EQ(errorMessage(R"({"message": "", "error": "plain"})"), "plain");
    EXPECT_EQ(errorMessage(R"({"error": {"message": "", "type": "authentication_error"}})"),
              "authentication_error");
    EXPECT_EQ(errorMessage(R"({"error": {"code": "invalid_api_key"}})"), "invalid_api_key");
    EXPECT_EQ(errorMessage(R"({"error": {"code": 401}, "detail": "from detail"})"), "from detail");
    EXPECT_EQ(errorMessage(R"({"error": {"code": 401}})"), std::nullopt);
    EXPECT_EQ(errorMessage(R"({"detail": "Not authenticated"})"), "Not authenticated");
}

TEST(ProviderHttpSession, QueryItemsAreEncodedAsQueryComponents) {
    EXPECT_EQ(
        ProviderHttpSession::encodeQuery(
            {{"group_by[]", "model"}, {"starting_at", "2025-01-02T03:04:05Z"}, {"q", "a b&c=d+e"}}),
        "group_by%5B%5D=model&starting_at=2025-01-02T03:04:05Z&q=a%20b%26c%3Dd%2Be");
}

TEST(ProviderHttpSession, FailuresWithoutAnAnswerHaveFixedTexts) {
    using qm::test::run;
    const ProviderHttpSession badUrl("not a url", qm::test::kShortTimeout);
    EXPECT_EQ(run(badUrl.get("/x", {}, {})).errorText(),
              "Provider request URL could not be created.");

    const qm::test::RefusingPort closed;
    ASSERT_NE(closed.port(), 0);
    const ProviderHttpSession refused(closed.url(), qm::test::kShortTimeout);
    const ProviderHttpResponse response = run(refused.get("/x", {}, {}));
    EXPECT_EQ(response.outcome, ProviderHttpResponse::Outcome::failed);
    EXPECT_FALSE(response.errorText().isEmpty());
    EXPECT_NE(response.errorText(), "Timeout");
}
