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
// A session_meta line; `extra` is merged into its payload (forked_from_id, source, ...).
QByteArray codexMetaLine(const QString& id, const QString& cwd, double secondsAgo,
                         const QByteArray& extraPayloadJson = {});
// A turn_context line naming the turn's model.
QByteArray codexTurnLine(const QString& model, double secondsAgo);

// Writes under `home` one Codex session with 3 recent prompts (model gpt-5, project "app",
// 1000 input / 200 output / 100 cached tokens), one Grok session with 1 prompt and 5000
// context tokens, and two Gemini prompts: the menu-bar title reads "Codex 3 Grok 1 Gemini 2".
void writeSampleHome(const QString& home);

}  // namespace qm::test
