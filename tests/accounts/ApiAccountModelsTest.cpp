#include <gtest/gtest.h>

#include <QRegularExpression>

#include "accounts/ApiAccountModels.h"
#include "support/QtPrinters.h"

using namespace qm;

TEST(ApiAccountModels, KeyPreviewMasksShortKeysWhole) {
    EXPECT_EQ(ApiAccounts::keyPreview("12345678"), "********");
    EXPECT_EQ(ApiAccounts::keyPreview("123456789"), "1234****6789");
    EXPECT_EQ(ApiAccounts::keyPreview("sk-ant-admin01-abcdefWXYZ"), "sk-a****WXYZ");
    EXPECT_EQ(ApiAccounts::keyPreview(""), "");
}

TEST(ApiAccountModels, IdsAre32LowerCaseHexCharacters) {
    const QRegularExpression shape("^[0-9a-f]{32}$");
    const QString a = ApiAccounts::newId();
    EXPECT_TRUE(shape.match(a).hasMatch()) << a.toStdString();
    EXPECT_NE(a, ApiAccounts::newId());
}

TEST(ApiAccountModels, GrokDetailIsTheFirstPresentOfTeamKeyNameUser) {
    GrokApiAccount a;
    a.keyName = "k";
    a.userId = "u";
    EXPECT_EQ(summary(a).detail, "k");
    a.teamId = "t";
    EXPECT_EQ(summary(a).detail, "t");
    EXPECT_EQ(summary(GrokApiAccount{}).detail, std::nullopt);
}
