#include <gtest/gtest.h>

#include "core/UsageModels.h"

namespace qm {
namespace {

TEST(ToolNamesTest, ToolsAreReadAsPeopleTypeThemAndNothingElse) {
    const std::pair<const char*, ProviderKind> typed[] = {
        {"claudeCode", ProviderKind::claudeCode},  {"claude-code", ProviderKind::claudeCode},
        {"claude_code", ProviderKind::claudeCode}, {"claudecode", ProviderKind::claudeCode},
        {"Claude Code", ProviderKind::claudeCode}, {"CLAUDE", ProviderKind::claudeCode},
        {" claude ", ProviderKind::claudeCode},    {"codex", ProviderKind::codex},
        {"Codex-CLI", ProviderKind::codex},        {"gemini", ProviderKind::gemini},
        {"gemini_cli", ProviderKind::gemini},      {"Grok", ProviderKind::grok},
        {"grok-cli", ProviderKind::grok}};
    for (const auto& [text, kind] : typed)
        EXPECT_EQ(providerKindFromUserText(QString::fromUtf8(text)), kind) << text;
    // Every raw value reads back as itself, as remote answers and stored files rely on.
    for (ProviderKind kind : kAllProviderKinds)
        EXPECT_EQ(providerKindFromUserText(rawValue(kind)), kind);
    for (const char* text :
         {"", "cursor", "claude-cli", "claude code cli", "codexx", "gem ini x", "cli", "openai"})
        EXPECT_EQ(providerKindFromUserText(QString::fromUtf8(text)), std::nullopt) << text;
    // The raw reader stays exact: the index and other machines write raw values only.
    EXPECT_EQ(providerKindFromRaw(QStringLiteral("claude-code")), std::nullopt);
}

}  // namespace
}  // namespace qm
