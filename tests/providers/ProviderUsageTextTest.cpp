#include <gtest/gtest.h>

#include "providers/ProviderUsageText.h"
#include "support/QtPrinters.h"

using namespace qm;
using P = ApiAccountProvider;

TEST(ProviderUsageText, ValidationTextPrefersOrganisationThenMessage) {
    ProviderValidation v;
    v.ok = true;
    EXPECT_EQ(ProviderUsageText::validationText(P::grok, v), "Valid Grok key.");
    v.message = "Admin key validated.";
    EXPECT_EQ(ProviderUsageText::validationText(P::openAi, v), "Admin key validated.");
    v.organizationId = "org-1";
    EXPECT_EQ(ProviderUsageText::validationText(P::anthropic, v),
              "Valid Anthropic key. Organization: org-1");
    EXPECT_EQ(ProviderUsageText::validationText(P::gemini, ProviderValidation{}),
              "Validation failed.");
    EXPECT_EQ(ProviderUsageText::validationText(P::gemini, ProviderValidation::failure("Timeout")),
              "Timeout");
}

TEST(ProviderUsageText, KeyInfoShowsPresentFieldsAndShortensModelLists) {
    ProviderKeyInfo info;
    info.name = "laptop";
    info.teamId = "";
    info.disabled = false;
    info.availableModels = {"a", "b", "c", "d", "e", "f", "g"};
    EXPECT_EQ(ProviderUsageText::keyInfoLines(info),
              (QStringList{"Name: laptop", "Disabled: No", "Available: a, b, c, d, e +2"}));
    EXPECT_EQ(ProviderUsageText::modelListText({"a", "b", "c", "d", "e"}), "a, b, c, d, e");
}
