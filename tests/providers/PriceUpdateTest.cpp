#include <gtest/gtest.h>

#include <QDir>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include "providers/PriceUpdateStore.h"
#include "support/FakeProviderServer.h"
#include "support/TempDir.h"

using namespace qm;
using test::FakeProviderResponse;
using test::FakeProviderServer;
using test::TempDir;

namespace {

const QByteArray kList = R"({
  "claude-opus-4-5": {"litellm_provider": "anthropic", "input_cost_per_token": 4e-06,
                      "output_cost_per_token": 2e-05},
  "gemini/gemini-2.5-pro": {"litellm_provider": "gemini", "input_cost_per_token": 1e-06,
                            "output_cost_per_token": 8e-06,
                            "input_cost_per_token_above_200k_tokens": 2e-06},
  "bedrock/claude-opus-4-5": {"litellm_provider": "bedrock", "input_cost_per_token": 1}
})";

class PriceUpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The store keeps its choices in the settings: a private folder, not the user's.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
        QSettings(QStringLiteral("Quotameter"), QStringLiteral("Quotameter")).clear();
        ASSERT_TRUE(server.listen());
    }
    void TearDown() override { PriceBook::setCurrent(PriceBook::bundled()); }
    QString url(const QString& path) const { return server.baseUrl() + path; }
    QString updatedPath() const { return QDir(data.path()).filePath("prices.json"); }

    TempDir config;
    TempDir data;
    FakeProviderServer server;
};

}  // namespace

TEST_F(PriceUpdateTest, FromALocalServerAndFromAFile) {
    server.route("/prices.json", FakeProviderResponse::json(200, kList));
    auto result = QCoro::waitFor(updatePrices(url("/prices.json"), data.path()));
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_EQ(result.rows, 2);
    const auto pro = PriceBook::find(PriceProvider::gemini, "gemini-2.5-pro");
    ASSERT_TRUE(pro);  // found under the id the Gemini logs use, without "gemini/"
    EXPECT_EQ(pro->input, 1);
    EXPECT_EQ(pro->above200k->input, 2);
    EXPECT_TRUE(pro->source.startsWith("updated ")) << pro->source.toStdString();
    EXPECT_EQ(PriceBook::find(PriceProvider::anthropic, "claude-opus-4-5")->input, 4);

    const QString file = data.write("list.json", QByteArray(kList).replace("4e-06", "3e-06"));
    result = QCoro::waitFor(updatePrices(file, data.path()));
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_EQ(PriceBook::find(PriceProvider::anthropic, "claude-opus-4-5")->input, 3);
}

TEST_F(PriceUpdateTest, AFailedFetchChangesNothing) {
    ASSERT_TRUE(QCoro::waitFor(updatePrices(data.write("list.json", kList), data.path())).ok);
    const QByteArray kept = test::readAll(updatedPath());
    server.route("/missing.json", FakeProviderResponse::text(404, "<html>Not Found</html>"));
    server.route("/cut.json", FakeProviderResponse::json(200, kList.left(90)));
    server.route("/negative.json",
                 FakeProviderResponse::json(200, QByteArray(kList).replace("4e-06", "-4e-06")));
    for (const char* path : {"/missing.json", "/cut.json", "/negative.json"}) {
        const auto result = QCoro::waitFor(updatePrices(url(path), data.path()));
        EXPECT_FALSE(result.ok) << path;
        EXPECT_FALSE(result.error.isEmpty());
        EXPECT_EQ(test::readAll(updatedPath()), kept) << path;
        EXPECT_EQ(PriceBook::find(PriceProvider::anthropic, "claude-opus-4-5")->input, 4);
    }
    const auto missing = QCoro::waitFor(updatePrices(data.filePath("nope.json"), data.path()));
    EXPECT_FALSE(missing.ok);
}

TEST_F(PriceUpdateTest, TheStoreReportsAndChecksWeeklyOnlyWhenAsked) {
    server.route("/prices.json", FakeProviderResponse::json(200, kList));
    PriceUpdateStore store(data.path(), url("/prices.json"));
    QSignalSpy updated(&store, &PriceUpdateStore::pricesUpdated);
    EXPECT_FALSE(PriceUpdateStore::weeklyCheck());  // off by default
    store.updateIfDue();
    EXPECT_TRUE(server.requests().empty());

    QCoro::waitFor(store.update());
    EXPECT_EQ(store.statusText(), "Prices updated: 2 models");
    EXPECT_FALSE(store.isUpdating());
    EXPECT_EQ(updated.count(), 1);

    // Turned on a moment after a check: nothing is due for a week.
    store.setWeeklyCheck(true);
    EXPECT_TRUE(PriceUpdateStore::weeklyCheck());
    EXPECT_EQ(server.requests().size(), 1u);
    // A week later it is.
    QSettings(QStringLiteral("Quotameter"), QStringLiteral("Quotameter"))
        .setValue("prices/checkedAtMs", 0);
    store.updateIfDue();
    EXPECT_TRUE(QTest::qWaitFor([&] { return updated.count() == 2; }, 10000));
    EXPECT_EQ(server.requests().size(), 2u);

    server.route("/prices.json", FakeProviderResponse::json(200, "{"));
    QCoro::waitFor(store.update());
    EXPECT_TRUE(store.statusText().startsWith("Price update failed: not valid JSON"))
        << store.statusText().toStdString();
    EXPECT_EQ(updated.count(), 2);
}
