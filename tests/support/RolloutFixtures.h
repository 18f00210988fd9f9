#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

// Fixture logs of the local command-line tools, for tests that need a home directory with
// known usage in it (readers, aggregator, views).
namespace qm::test {

// ISO 8601 UTC text for a time `secondsAgo` before now.
QByteArray isoSecondsAgo(double secondsAgo);

// One Codex rollout line: a user prompt at `secondsAgo`.
QByteArray codexPromptLine(const QString& text, double secondsAgo);
// One Codex cumulative token_count line.
QByteArray codexTotalsLine(std::int64_t input, std::int64_t output, std::int64_t cached,
                           double secondsAgo);

// Writes under `home` one Codex session with 3 recent prompts (model gpt-5, project "app",
// 1000 input / 200 output / 100 cached tokens), one Grok session with 1 prompt and 5000
// context tokens, and two Gemini prompts: the menu-bar title reads "Codex 3 Grok 1 Gemini 2".
void writeSampleHome(const QString& home);

}  // namespace qm::test
