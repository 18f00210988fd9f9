#include <gtest/gtest.h>

#include <QDir>

#include "core/ClaudeCodeSettings.h"
#include "support/TempDir.h"

namespace qm {
namespace {

namespace Settings = ClaudeCodeSettings;
using State = Settings::StatusLineState;

TEST(ClaudeCodeSettings, TellsWhoseStatusLineIsSet) {
    const test::TempDir dir;
    const QString cli = "/usr/bin/quotameter-cli";
    const QString path = dir.filePath("settings.json");
    EXPECT_EQ(Settings::statusLine(path, cli), Settings::StatusLineInfo{});
    struct Case {
        QByteArray settings;
        Settings::StatusLineInfo expected;
    };
    for (const Case& c : {
             Case{"{\"model\": \"opus\"}", {}},
             Case{"{\"statusLine\": null}", {}},
             Case{"{\"statusLine\": {\"type\": \"command\", \"command\": "
                  "\"/usr/bin/quotameter-cli statusline\"}}",
                  {State::ours, "/usr/bin/quotameter-cli statusline", true, {}}},
             Case{"{\"statusLine\": {\"command\": \"\\\"/opt/my apps/quotameter-cli\\\" "
                  "statusline\"}}",
                  {State::ours, "\"/opt/my apps/quotameter-cli\" statusline", false, {}}},
             Case{"{\"statusLine\": {\"command\": \"quotameter-cli statusline --verbose\"}}",
                  {State::other, "quotameter-cli statusline --verbose", false, {}}},
             Case{"{\"statusLine\": {\"command\": \"bash ~/.claude/quotameter-cli statusline\"}}",
                  {State::other, "bash ~/.claude/quotameter-cli statusline", false, {}}},
             Case{"{\"statusLine\": {\"type\": \"text\", \"padding\": 2}}",
                  {State::other, "{\"type\": \"text\", \"padding\": 2}", false, {}}},
         }) {
        SCOPED_TRACE(c.settings.toStdString());
        dir.write("settings.json", c.settings);
        EXPECT_EQ(Settings::statusLine(path, cli), c.expected);
    }
    dir.write("settings.json", "{\"statusLine\": ");
    const Settings::StatusLineInfo broken = Settings::statusLine(path, cli);
    EXPECT_EQ(broken.state, State::unreadable);
    EXPECT_TRUE(broken.problem.contains("not valid JSON")) << broken.problem.toStdString();
}

TEST(ClaudeCodeSettings, QuotesAPathTheShellWouldSplitAndFindsTheFileWhereClaudeCodeDoes) {
    EXPECT_EQ(Settings::statusLineCommand("/usr/bin/quotameter-cli"),
              "/usr/bin/quotameter-cli statusline");
    EXPECT_EQ(Settings::statusLineCommand("/home/jo/my apps/it's/quotameter-cli"),
              "'/home/jo/my apps/it'\\''s/quotameter-cli' statusline");

    const QByteArray saved = qgetenv("CLAUDE_CONFIG_DIR");
    qputenv("CLAUDE_CONFIG_DIR", "/elsewhere/claude");
    EXPECT_EQ(Settings::settingsPath(), "/elsewhere/claude/settings.json");
    qunsetenv("CLAUDE_CONFIG_DIR");
    EXPECT_EQ(Settings::settingsPath(), QDir::homePath() + "/.claude/settings.json");
    if (!saved.isEmpty()) qputenv("CLAUDE_CONFIG_DIR", saved);
}

}  // namespace
}  // namespace qm
