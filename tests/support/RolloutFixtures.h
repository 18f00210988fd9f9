#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

// Fixture logs of the local command-line tools, for tests that need a home directory with
// known usage in it (readers, aggregator, views).
namespace qm::test {

// ISO 8601 UTC text for a time `secondsAgo` before now.
QByteArray isoSecondsAgo(double secondsAgo);

// Codex rollout lines in the tool's own shapes, stamped `secondsAgo` before now.
// A user message item (what the model is sent: typed prompts and injected context alike).
QByteArray codexPromptLine(const QString& text, double secondsAgo);
// The event written once per prompt the person typed.
QByteArray codexUserMessageLine(const QString& text, double secondsAgo);
// A token_count event with cumulative totals (`input` includes `cached`).
QByteArray codexTotalsLine(std::int64_t input, std::int64_t output, std::int64_t cached,
                           double secondsAgo);
// A token_count event that carries only the plan limits, as the tool writes one per model call:
// the five-hour ("primary") and weekly ("secondary") windows with their reset times.
QByteArray codexRateLimitsLine(double fiveHourPct, double weeklyPct, std::int64_t fiveHourResetsAt,
                               std::int64_t weeklyResetsAt, double secondsAgo);
// A session_meta line; `extra` is merged into its payload (forked_from_id, source, ...).
QByteArray codexMetaLine(const QString& id, const QString& cwd, double secondsAgo,
                         const QByteArray& extraPayloadJson = {});
// A turn_context line naming the turn's model.
QByteArray codexTurnLine(const QString& model, double secondsAgo);

// Claude Code transcript lines, fields in the tool's own order, stamped `secondsAgo` before now.
struct ClaudeLine {
    QString sessionId = QStringLiteral("5f0c2b1e-0000-4000-8000-000000000001");
    QString cwd = QStringLiteral("/home/dev/web");
    double secondsAgo = 60;
    bool sidechain = false;
};
// What one API request reports; written as one assistant line per content block, each
// repeating the ids and the usage.
struct ClaudeRequest {
    QString requestId;
    QString messageId;
    QString model = QStringLiteral("claude-sonnet-4-5-20250929");
    std::int64_t input = 0;
    std::int64_t output = 0;
    std::int64_t cacheRead = 0;
    std::int64_t cacheWrite5m = 0;
    std::int64_t cacheWrite1h = 0;
    int blocks = 2;
};
// A user line whose content is the text itself (what a person types).
QByteArray claudePromptLine(const QString& text, const ClaudeLine& line = {});
// A user line with `extra` fields (such as "isMeta":true,) put before "type".
QByteArray claudeUserLine(const QString& contentJson, const ClaudeLine& line,
                          const QByteArray& extra = {});
// A user line carrying a tool's output (`bytes` long) back to the model.
QByteArray claudeToolResultLine(int bytes, const ClaudeLine& line = {});
QByteArray claudeAssistantLines(const ClaudeRequest& request, const ClaudeLine& line = {});
// The line the tool writes when the API call failed: synthetic model, zero usage.
QByteArray claudeApiErrorLine(const ClaudeLine& line = {});

// Writes under `home` one Codex session with 3 recent prompts (model gpt-5, project "app",
// 1000 input / 200 output / 100 cached tokens), one Grok session with 1 prompt and 5000
// context tokens, two Gemini prompts, and one Claude Code session with 2 prompts and one
// request (100 input, 50 output, 1000 cache-read, 200 cache-write tokens on Sonnet 4.5): the
// menu-bar title reads "Codex 3 Grok 1 Gemini 2".
void writeSampleHome(const QString& home);

}  // namespace qm::test
