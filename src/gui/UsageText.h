#pragma once

#include <QColor>
#include <QString>
#include <QTimeZone>
#include <optional>

#include "alerts/LimitReadings.h"
#include "core/ClaudeUsageModel.h"
#include "core/UsageModels.h"

// The texts and levels the panel, the dashboard and the Claude card show, kept apart from the
// widgets so every window says the same thing.
namespace qm::gui::UsageText {

// The Claude line's level: how full the five-hour session is (see limitLevel); unknown
// without a reading or past the session's reset, whatever the connection state.
UsageStatusLevel claudeLevel(const std::optional<LimitReading>& session, TimeMs now);
// A percentage clamped to 0-100 without decimals, "42%". Not a number counts as 0.
QString percent(double value);
double clampedPercent(double value);
// The session percentage, or "-" without limits.
QString fiveHour(const std::optional<LatestClaudeUsage>& latest);
// "-" for no time; a parsable time stamp as "MM/dd HH:mm" in `zone`; anything else unchanged.
QString reset(const std::optional<QString>& stamp,
              const QTimeZone& zone = QTimeZone::systemTimeZone());
// At most one decimal in the current locale, or "-" when absent.
QString number(const std::optional<double>& value);
// "Claude Code: 1.4k tokens, $0.0021": what a tool used in the recent five hours (for Claude
// Code the window the Claude session limit counts); empty when it used nothing or was not read.
QString fiveHourUse(const std::optional<ProviderUsage>& tool);
// How old figures read at `at` are: "just now", "5m ago", "yesterday", "06/01".
QString age(TimeMs at, TimeMs now);
// "Updated 5m", or "Waiting for first refresh".
QString lastRefresh(std::optional<TimeMs> at, TimeMs now);
// The Claude status for a tool tip: the sentence, then the raw failure below it when there is
// one, so the plain words stay on screen and the detail is still a hover away.
QString claudeStatusToolTip(const QString& statusText, const QString& errorDetail);
// The status pill of the Claude card.
QString pillText(ClaudeUsageStatusKind kind);
QColor pillColour(ClaudeUsageStatusKind kind);

}  // namespace qm::gui::UsageText
