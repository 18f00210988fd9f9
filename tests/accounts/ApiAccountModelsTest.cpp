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
    // Characters outside the basic plane count once and are never cut in half.
    const QString emoji = QString::fromUtf8("\xF0\x9F\x94\x91");  // one character, two units
    EXPECT_EQ(ApiAccounts::keyPreview(emoji.repeated(8)), QString(8, '*'));
    EXPECT_EQ(ApiAccounts::keyPreview(emoji + "abcdefgh" + emoji), emoji + "abc****fgh" + emoji);
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
