#include <gtest/gtest.h>

#include <QJsonDocument>

#include "core/JsonFields.h"
#include "support/QtPrinters.h"

using namespace qm;

namespace {

QJsonObject parsed(const char* json) {
    return QJsonDocument::fromJson(json).object();
}

}  // namespace

TEST(JsonFields, WholeNumbersOnlyAndExactBeyondDoublePrecision) {
    const QJsonObject o =
        parsed(R"({"n": 3, "big": 9007199254740993, "half": 2.5, "huge": 1e300, "text": "3"})");
    JsonFields f;
    EXPECT_EQ(f.int64(o, "n"), 3);
    // A reader going through double would give ...992.
    EXPECT_EQ(f.int64(o, "big"), 9007199254740993LL);
    EXPECT_FALSE(f.failed());
    for (const char* bad : {"half", "huge", "text"}) {
        JsonFields strict;
        EXPECT_EQ(strict.int64(o, bad), std::nullopt) << bad;
        EXPECT_TRUE(strict.failed()) << bad;
    }
    EXPECT_EQ(JsonFields::wholeNumber(o.value("huge")), std::nullopt);
}

TEST(JsonFields, NullIsAbsentAndTheFirstProblemIsKept) {
    const QJsonObject o = parsed(R"({"gone": null, "flag": "yes", "count": true})");
    JsonFields f;
    EXPECT_EQ(f.string(o, "gone"), std::nullopt);
    EXPECT_EQ(f.string(o, "missing"), std::nullopt);
    EXPECT_FALSE(f.failed());
    EXPECT_EQ(f.boolean(o, "flag"), std::nullopt);
    EXPECT_EQ(f.number(o, "count"), std::nullopt);
    EXPECT_EQ(f.problem(), "\"flag\" is not a boolean");
}

TEST(JsonFields, ReadIntoKeepsTheDefaultUnlessTheValueFits) {
    const QJsonObject o = parsed(R"({"pct": 3000000000, "models": ["a", 1], "alias": "w"})");
    JsonFields f;
    int pct = 80;
    QStringList models{"kept"};
    QString alias = "x";
    double budget = 5;
    f.read(o, "pct", pct);
    f.read(o, "models", models);
    f.read(o, "alias", alias);
    f.read(o, "budget", budget);
    EXPECT_EQ(pct, 80);
    EXPECT_EQ(models, QStringList{"kept"});
    EXPECT_EQ(alias, "w");
    EXPECT_EQ(budget, 5);
    EXPECT_EQ(f.problem(), "\"pct\" is not an integer");
}
