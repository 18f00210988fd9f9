#include "ledger/FiveHourSummaries.h"

#include <QDir>
#include <QHash>

#include "ledger/SessionFacts.h"
#include "readers/CliLogParsing.h"
#include "readers/CodexCliReader.h"

namespace qm::ledger {
namespace {

using CliLogParsing::addCounts;

TimeMs modifiedMs(const FileEntry& entry) {
    return entry.identity.modifiedNs / 1'000'000;
}

// One rollout's facts as the summary reader's result for a window that starts at `since`.
CodexCliReader::ParseResult codexResult(const FileEntry& entry, const CodexFacts& facts,
                                        TimeMs since) {
    CodexCliReader::ParseResult result;
    result.hasTotalUsage = facts.hasTotalUsage;
    result.model = facts.model;
    result.tokens = facts.tokens;
    result.byModel = facts.byModel;
    result.windowTokens = facts.untimedWindowTokens;
    result.project = entry.project;
    result.isSubagent = facts.isSubagent;
    result.startedAt = facts.startedAt;
    result.endedAt = facts.endedAt;
    result.planLimits = facts.planLimits;
    const CodexFacts::Prompts& prompts = facts.sawTypedEvent ? facts.typed : facts.items;
    const auto promptKind =
        facts.sawTypedEvent ? CodexFacts::kTypedPrompt : CodexFacts::kItemPrompt;
    result.prompts = prompts.count;
    result.recentPrompts = prompts.untimed;
    result.task = prompts.task;
    // Early rollouts have only per-line usage, summed.
    const bool lineUsage = !facts.hasTotalUsage && !facts.lineUsage.empty();
    if (lineUsage) {
        result.tokens = {};
        for (const auto& part : facts.lineUsage) {
            result.tokens = {addCounts(result.tokens.input, part.tokens.input),
                             addCounts(result.tokens.cached, part.tokens.cached),
                             addCounts(result.tokens.output, part.tokens.output)};
        }
        result.byModel = facts.lineUsage;
        result.windowTokens = facts.untimedLineWindowTokens;
    }
    const auto tokenKind = lineUsage ? CodexFacts::kLineWindowTokens : CodexFacts::kWindowTokens;
    for (const RecentRecord& record : entry.recent) {
        if (record.at < since) continue;
        if (record.kind == tokenKind) {
            result.windowTokens = addCounts(result.windowTokens, record.value);
        } else if (record.kind == promptKind) {
            result.recentPrompts = addCounts(result.recentPrompts, record.value);
        } else if (record.kind == CodexFacts::kPlanReading) {
            if (auto limits = decodePlanLimits(record.detail)) {
                result.limitReadings.push_back(std::move(*limits));
            }
        }
    }
    return result;
}

}  // namespace

ProviderUsage codexUsage(const std::vector<FileEntry>& files, const QString& codexHome,
                         TimeMs since) {
    const bool hasFiles = std::any_of(files.begin(), files.end(), [](const FileEntry& entry) {
        return entry.tool == ProviderKind::codex;
    });
    CodexCliReader::Summary summary(codexHome, hasFiles, since);
    if (summary.isMissing()) return summary.finish();
    for (const FileEntry& entry : files) {
        if (entry.tool != ProviderKind::codex || modifiedMs(entry) < since) continue;
        CodexFacts facts;
        if (facts.decode(entry.facts)) {
            summary.add(entry.path, modifiedMs(entry), codexResult(entry, facts, since));
        } else {
            // Facts that are not this program's (or none: a file that could not be read) are
            // no answer: the reader reads the file itself.
            summary.add(entry.path, modifiedMs(entry),
                        CodexCliReader::parseFile(entry.path, since));
        }
    }
    return summary.finish();
}

ProviderUsage grokUsage(const std::vector<FileEntry>& files, const QString& sessionsDirectory,
                        const QString& authFile, TimeMs since) {
    QHash<QString, const FileEntry*> byPath;
    for (const FileEntry& entry : files) {
        if (entry.tool == ProviderKind::grok) byPath.insert(entry.path, &entry);
    }
    // A file the index does not hold, or holds facts for that it cannot vouch for, is read
    // directly.
    const auto turnsOf = [&byPath](const QString& path) {
        GrokFacts facts;
        const FileEntry* entry = byPath.value(path);
        if (!entry || !facts.decode(entry->facts))
            return std::optional<std::vector<GrokCliReader::TurnUsage>>();
        return std::optional(std::move(facts.turns));
    };
    return GrokCliReader(sessionsDirectory, authFile).summarize(since, turnsOf);
}

ProviderUsage claudeCodeUsage(const std::vector<FileEntry>& files,
                              const QStringList& projectDirectories, const QString& credentialsFile,
                              TimeMs since) {
    QHash<QString, const FileEntry*> byPath;
    for (const FileEntry& entry : files) {
        if (entry.tool == ProviderKind::claudeCode) byPath.insert(entry.path, &entry);
    }
    // A transcript the index does not hold, or holds facts for that it cannot vouch for, is
    // read directly.
    const auto factsOf = [&byPath](const QString& path) {
        const FileEntry* entry = byPath.value(path);
        return entry ? decodeTranscript(entry->facts) : std::nullopt;
    };
    return ClaudeCodeReader(projectDirectories, credentialsFile).summarize(since, factsOf);
}

ProviderUsage geminiUsage(const std::vector<FileEntry>& files, const QString& geminiDirectory,
                          TimeMs since) {
    QHash<QString, const FileEntry*> byPath;
    for (const FileEntry& entry : files) {
        if (entry.tool == ProviderKind::gemini) byPath.insert(entry.path, &entry);
    }
    // A recording the index does not hold (written since it was updated) is read directly.
    const auto chatOf = [&byPath](const QString& path) {
        const FileEntry* entry = byPath.value(path);
        return entry ? decodeChat(entry->facts) : std::nullopt;
    };
    return GeminiCliReader(geminiDirectory).summarize(since, chatOf);
}

std::vector<ProviderUsage> indexedSummaries(const std::vector<FileEntry>& files,
                                            const QString& homeDirectory, TimeMs since) {
    std::vector<ProviderUsage> summaries;
    summaries.push_back(codexUsage(files, CodexCliReader::homeFor(homeDirectory), since));
    const QDir home(homeDirectory);
    summaries.push_back(grokUsage(files, home.filePath(QStringLiteral(".grok/sessions")),
                                  home.filePath(QStringLiteral(".grok/auth.json")), since));
    summaries.push_back(
        claudeCodeUsage(files, ClaudeCodeReader::projectDirectoriesFor(homeDirectory),
                        ClaudeCodeReader::credentialsFileFor(homeDirectory), since));
    return summaries;
}

}  // namespace qm::ledger
