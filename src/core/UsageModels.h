#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

namespace qm {

// Milliseconds since the Unix epoch; every time stamp in a record uses this.
using TimeMs = std::int64_t;

enum class ProviderKind { codex, grok, gemini, claudeCode, openCode, qwenCode };

inline constexpr ProviderKind kAllProviderKinds[] = {
    ProviderKind::codex,      ProviderKind::grok,     ProviderKind::gemini,
    ProviderKind::claudeCode, ProviderKind::openCode, ProviderKind::qwenCode};

QString rawValue(ProviderKind kind);
QString providerName(ProviderKind kind);
std::optional<ProviderKind> providerKindFromRaw(const QString& raw);
// A tool as a person types it, in any case and with a space, hyphen, underscore or nothing
// between its words: its raw value ("claudeCode"), its name ("Claude Code", "claude-code"),
// "claude" alone, or a command-line tool's "-cli" name ("codex-cli", "gemini-cli",
// "grok-cli"). What the program prints stays the raw value or the name.
std::optional<ProviderKind> providerKindFromUserText(const QString& text);

enum class UsageStatusLevel { good, warn, high, bad, unknown };

QString rawValue(UsageStatusLevel level);
// How full a limit is: the one rule behind every colour and class that shows a limit (bars,
// the tray's dot, the panel, the status-bar class, tool tips). Under 75% good, from 75% warn,
// from 90% bad; unknown without a number (no reading, or a window past its reset that nobody
// has read since). Activity (Active, Recent, Idle) never goes through it.
UsageStatusLevel limitLevel(std::optional<double> percent);
std::optional<UsageStatusLevel> statusLevelFromRaw(const QString& raw);

struct SessionUsage {
    QString id;
    ProviderKind provider = ProviderKind::codex;
    QString project;
    QString task;
    QString model;
    std::optional<TimeMs> startedAt;
    std::optional<TimeMs> lastActiveAt;
    std::int64_t prompts = 0;
    std::int64_t inputTokens = 0;
    std::int64_t outputTokens = 0;
    std::int64_t cachedTokens = 0;
    std::int64_t contextTokens = 0;
    double cost = 0;
    // Cache writes, part of `inputTokens`; only Anthropic bills them apart.
    std::int64_t cacheWriteTokens = 0;

    bool operator==(const SessionUsage&) const = default;
};

struct ModelUsage {
    QString id;
    QString model;
    std::int64_t sessions = 0;
    std::int64_t inputTokens = 0;
    std::int64_t outputTokens = 0;
    std::int64_t cachedTokens = 0;
    std::int64_t contextTokens = 0;
    std::int64_t prompts = 0;
    double cost = 0;
    std::int64_t cacheWriteTokens = 0;  // part of `inputTokens`

    bool operator==(const ModelUsage&) const = default;
};

// One plan window as Codex logs it: how much of it is used and when it starts afresh.
struct PlanWindow {
    double usedPercent = 0;
    std::int64_t windowMinutes = 0;
    std::optional<TimeMs> resetsAt;
    bool operator==(const PlanWindow&) const = default;
};

// The Codex plan limits from the newest event that reported them.
struct CodexPlanLimits {
    std::optional<PlanWindow> fiveHour;  // the tool's "primary" window
    std::optional<PlanWindow> weekly;    // its "secondary" window
    QString planType;
    TimeMs observedAt = 0;
    bool operator==(const CodexPlanLimits&) const = default;
};

struct ProviderUsage {
    ProviderKind kind = ProviderKind::codex;
    QString providerName;
    bool isAuthenticated = false;
    QString statusText;
    UsageStatusLevel statusLevel = UsageStatusLevel::unknown;
    QString dataSourceLabel;
    QString dataSourceDetail;
    std::int64_t sessionsTotal = 0;
    std::int64_t lastFiveHourSessions = 0;
    std::int64_t lastFiveHourPrompts = 0;
    std::int64_t lastFiveHourTokens = 0;
    std::int64_t totalInputTokens = 0;
    std::int64_t totalOutputTokens = 0;
    std::int64_t totalCachedTokens = 0;
    std::int64_t totalContextTokens = 0;
    double costTotal = 0;
    std::optional<TimeMs> latestActivityAt;
    QString latestProject;
    QString latestTask;
    QString latestModel;
    std::vector<ModelUsage> models;
    std::vector<SessionUsage> sessions;
    QStringList warnings;
    std::optional<CodexPlanLimits> planLimits;  // Codex only
    std::int64_t totalCacheWriteTokens = 0;     // part of `totalInputTokens`
    double lastFiveHourCost = 0;  // cost of the requests in the recent window (Claude Code)
    QStringList unpricedModels;   // models with tokens but no price: their cost is missing
    // Every plan-limit report of the recent window, oldest first (Codex only): the pace of a
    // limit needs the readings before the newest.
    std::vector<CodexPlanLimits> planReadings;

    bool operator==(const ProviderUsage&) const = default;

    // The card shown before any scan has filled it.
    static ProviderUsage placeholder(ProviderKind kind);
};

// Whether the views list a tool's summary (the dashboard's cards, the panel's rows, `usage`,
// the title's tool tip): Codex, Grok, Gemini and Claude Code always, since a summary without
// figures says where the program looked; a tool added since (OpenCode, Qwen Code) only once it
// has logs here, so someone who never ran it meets no empty card for it.
bool isListed(const ProviderUsage& usage);
// `summaries` less those not listed, in their order.
std::vector<ProviderUsage> listedSummaries(std::vector<ProviderUsage> summaries);

}  // namespace qm
