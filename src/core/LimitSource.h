#pragma once

#include <QString>
#include <optional>

namespace qm {

// Where the figure of a usage limit was read: Claude Code's status-line input, the claude.ai
// usage page the application reads, or the Codex logs. Commands print the raw value
// ("claudeCode", "claudeWeb", "codexLogs"); views show the name.
enum class LimitSource { claudeCode, claudeWeb, codexLogs };

QString rawValue(LimitSource source);
std::optional<LimitSource> limitSourceFromRaw(const QString& raw);
// "Claude Code", "claude.ai", "Codex logs".
QString limitSourceName(LimitSource source);

}  // namespace qm
