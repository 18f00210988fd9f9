#include "ledger/FiveHourSummaries.h"

#include "ledger/OpenCodeRecords.h"
#include "ledger/QwenLogs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <algorithm>

#include "core/Clock.h"
#include "ledger/LedgerPricing.h"
#include "ledger/LogDiscovery.h"

#include "ledger/SessionFacts.h"
#include "ledger/UsageLedger.h"
#include "readers/ClaudeCodeReader.h"
#include "readers/CliLogParsing.h"
#include "readers/CodexCliReader.h"
#include "readers/GeminiChatRecords.h"
#include "readers/GeminiCliReader.h"
#include "readers/GrokCliReader.h"
#include "readers/ReaderSupport.h"

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

CodexCliReader::ParseResult codexResult(const FileEntry& entry, TimeMs since) {
    entry.need(kRecentPart);
    CodexFacts facts;
    if (facts.decode(entry.facts)) return codexResult(entry, facts, since);
    // Facts that are not this version's: the file is read again by the one interpreter.
    const FileEntry alone = readAlone(entry.path, ProviderKind::codex);
    return facts.decode(alone.facts) ? codexResult(alone, facts, since)
                                     : CodexCliReader::ParseResult{};
}

ProviderUsage codexUsage(const std::vector<FileEntry>& files, const QString& codexHome,
                         TimeMs since) {
    const bool hasFiles = std::any_of(files.begin(), files.end(), [](const FileEntry& entry) {
        return entry.tool == ProviderKind::codex;
    });
    CodexCliReader::Summary summary(codexHome, hasFiles, since);
    if (summary.isMissing()) return summary.finish();
    for (const FileEntry& entry : files) {
        if (entry.tool != ProviderKind::codex || modifiedMs(entry) < since) continue;
        summary.add(entry.path, modifiedMs(entry), codexResult(entry, since));
    }
    return summary.finish();
}

namespace {

bool isGrokUpdates(const FileEntry& entry) {
    return QFileInfo(entry.path).fileName() == QLatin1String("updates.jsonl");
}

// A Grok entry's facts; facts that are not this version's are read again by the interpreter.
template <typename Facts>
Facts grokFactsOf(const FileEntry& entry) {
    entry.need(kRecentPart);
    Facts facts;
    if (facts.decode(entry.facts)) return facts;
    Facts again;
    return again.decode(readAlone(entry.path, ProviderKind::grok).facts) ? again : Facts{};
}

// One session folder: what its small files say, the usage of its turns priced one by one (at
// the tool's own cost where it gives one), or, when it logged none, its estimated call priced
// as the index's row of it is.
GrokCliReader::Session grokSessionOf(const FileEntry& entry, const GrokSessionFacts& facts,
                                     const FileEntry* updates) {
    GrokCliReader::Session session;
    session.id = facts.id;
    session.project = entry.project;
    session.task = facts.task;
    session.model = facts.model;
    session.hidden = facts.hidden;
    session.contextTokens = facts.contextTokens;
    session.prompts = facts.prompts;
    session.startedAt = facts.startedAt;
    session.lastActiveAt = facts.lastActiveAt;
    if (updates) {
        for (const GrokFacts::Turn& turn : grokFactsOf<GrokFacts>(*updates).turns) {
            const QString model = turn.model.value_or(facts.model);
            Counts counts;
            counts.input = turn.input;
            counts.cachedInput = turn.cached;
            counts.output = turn.output;
            const double cost = turn.ticks
                                    ? *turn.ticks / GrokFacts::kTicksPerUsd
                                    : costOf(ProviderKind::grok, model, counts, false).value_or(0);
            session.add(model, turn.input, turn.cached, turn.output, cost);
        }
    }
    if (facts.estimated) {
        Counts call;
        call.input = facts.contextTokens;
        call.calls = 1;
        const QString model = facts.model.isEmpty() ? QStringLiteral("unknown") : facts.model;
        session.estimatedCost = costOf(ProviderKind::grok, model, call, false).value_or(0);
    }
    return session;
}

}  // namespace

ProviderUsage grokUsage(const std::vector<FileEntry>& files, const QString& sessionsDirectory,
                        const QString& authFile, TimeMs since) {
    GrokCliReader::Summary summary(sessionsDirectory, authFile);
    if (summary.isMissing()) return summary.finish();
    // Each folder's updates.jsonl, and its small files' entry in the order of the folders'
    // summary files' paths (whichever of its files names the entry).
    QHash<QString, const FileEntry*> updatesByFolder;
    std::vector<std::pair<QByteArray, const FileEntry*>> sessions;
    for (const FileEntry& entry : files) {
        if (entry.tool != ProviderKind::grok) continue;
        const QString folder = QFileInfo(entry.path).path();
        if (isGrokUpdates(entry))
            updatesByFolder.insert(folder, &entry);
        else
            sessions.emplace_back(QFile::encodeName(folder + QStringLiteral("/summary.json")),
                                  &entry);
    }
    std::sort(sessions.begin(), sessions.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [path, entry] : sessions) {
        const auto facts = grokFactsOf<GrokSessionFacts>(*entry);
        if (!facts.listed || !facts.lastActiveAt || *facts.lastActiveAt < since) continue;
        const FileEntry* updates = updatesByFolder.value(QFileInfo(entry->path).path());
        summary.add(grokSessionOf(*entry, facts, updates));
    }
    return summary.finish();
}

namespace {

AnthropicTokens plus(const AnthropicTokens& a, const AnthropicTokens& b) {
    return {addCounts(a.input, b.input), addCounts(a.output, b.output),
            addCounts(a.cacheRead, b.cacheRead), addCounts(a.cacheWrite5m, b.cacheWrite5m),
            addCounts(a.cacheWrite1h, b.cacheWrite1h)};
}

// Everything the input side of a request holds: fresh input, cache reads and cache writes.
std::int64_t inputOf(const AnthropicTokens& t) {
    return addCounts(addCounts(t.input, t.cacheRead), addCounts(t.cacheWrite5m, t.cacheWrite1h));
}

// What one model adds to a transcript: its whole figures, and those since the window start.
struct ModelPart {
    QString model;
    AnthropicTokens tokens;
    double cost = 0;
    std::int64_t windowTokens = 0;  // input of every kind plus output
    double windowCost = 0;
};

// One transcript as the summary counts it: what its entry counts (a request or prompt another
// file holds too is counted once, where the index settled it).
struct Transcript {
    ClaudeFacts facts;
    std::vector<ModelPart> byModel;  // in order of first use
    std::int64_t requests = 0;
    std::int64_t prompts = 0;
    std::int64_t recentPrompts = 0;
};

ModelPart& partFor(std::vector<ModelPart>& parts, const QString& model) {
    const auto same = std::find_if(parts.begin(), parts.end(),
                                   [&](const ModelPart& p) { return p.model == model; });
    if (same != parts.end()) return *same;
    parts.push_back({model, {}, 0, 0, 0});
    return parts.back();
}

Transcript transcriptOf(const FileEntry& entry, TimeMs since) {
    entry.need(kRowsPart | kRecentPart);
    Transcript t;
    t.facts.decode(entry.facts);
    for (const HourRow& row : entry.rows) {
        t.prompts = addCounts(t.prompts, row.counts.prompts);
        if (row.counts.calls == 0) continue;
        const QString& model = entry.models[row.model];
        ModelPart& part = partFor(t.byModel, model);
        t.requests = addCounts(t.requests, row.counts.calls);
        part.tokens = plus(part.tokens, claudeTokens(row.counts));
        part.cost += costOf(ProviderKind::claudeCode, model, row.counts, row.flags & kLargeCalls)
                         .value_or(0);
    }
    for (const RecentRecord& record : entry.recent) {
        if (record.at < since) continue;
        if (record.kind == ClaudeFacts::kPrompt) {
            t.recentPrompts = addCounts(t.recentPrompts, 1);
            continue;
        }
        std::uint64_t key = 0;
        QString model;
        AnthropicTokens tokens;
        if (record.kind != ClaudeFacts::kCall ||
            !ClaudeFacts::decodeCall(record.detail, key, model, tokens))
            continue;
        ModelPart& part = partFor(t.byModel, model);
        part.windowTokens = addCounts(part.windowTokens, addCounts(inputOf(tokens), tokens.output));
        // One request: priced as one call, long-context rates when its prompt was long.
        part.windowCost +=
            costOf(ProviderKind::claudeCode, model, claudeCounts(tokens), true).value_or(0);
    }
    return t;
}

void merge(Transcript& into, const Transcript& from) {
    into.requests = addCounts(into.requests, from.requests);
    for (const ModelPart& part : from.byModel) {
        ModelPart& same = partFor(into.byModel, part.model);
        same.tokens = plus(same.tokens, part.tokens);
        same.cost += part.cost;
        same.windowTokens = addCounts(same.windowTokens, part.windowTokens);
        same.windowCost += part.windowCost;
    }
}

// Adds a transcript's usage to the summary, its models and, when it is one, its session.
void addUsage(ProviderUsage& usage, readers::ModelTotals& models, const Transcript& transcript,
              SessionUsage* session) {
    for (const ModelPart& part : transcript.byModel) {
        const std::int64_t input = inputOf(part.tokens);
        const std::int64_t writes = addCounts(part.tokens.cacheWrite5m, part.tokens.cacheWrite1h);
        ModelUsage& model = models.entry(part.model);
        if (session) model.sessions += 1;
        model.inputTokens = addCounts(model.inputTokens, input);
        model.outputTokens = addCounts(model.outputTokens, part.tokens.output);
        model.cachedTokens = addCounts(model.cachedTokens, part.tokens.cacheRead);
        model.cacheWriteTokens = addCounts(model.cacheWriteTokens, writes);
        model.cost += part.cost;
        usage.totalInputTokens = addCounts(usage.totalInputTokens, input);
        usage.totalOutputTokens = addCounts(usage.totalOutputTokens, part.tokens.output);
        usage.totalCachedTokens = addCounts(usage.totalCachedTokens, part.tokens.cacheRead);
        usage.totalCacheWriteTokens = addCounts(usage.totalCacheWriteTokens, writes);
        usage.costTotal += part.cost;
        usage.lastFiveHourTokens = addCounts(usage.lastFiveHourTokens, part.windowTokens);
        usage.lastFiveHourCost += part.windowCost;
        if (!session) continue;
        session->inputTokens = addCounts(session->inputTokens, input);
        session->outputTokens = addCounts(session->outputTokens, part.tokens.output);
        session->cachedTokens = addCounts(session->cachedTokens, part.tokens.cacheRead);
        session->cacheWriteTokens = addCounts(session->cacheWriteTokens, writes);
        session->cost += part.cost;
    }
}

SessionUsage sessionOf(const FileEntry& entry, const Transcript& transcript) {
    const ClaudeFacts& facts = transcript.facts;
    SessionUsage session;
    session.id = entry.path;
    session.provider = ProviderKind::claudeCode;
    session.project = facts.project.isEmpty() ? QStringLiteral("unknown") : facts.project;
    session.task = facts.task;
    session.model = facts.model.isEmpty() ? QStringLiteral("unknown") : facts.model;
    session.startedAt = facts.startedAt;
    session.lastActiveAt = facts.lastActiveAt;
    if (!session.lastActiveAt) session.lastActiveAt = modifiedMs(entry);
    if (!session.startedAt) session.startedAt = session.lastActiveAt;
    session.prompts = transcript.prompts;
    return session;
}

// "<project>/<session>/subagents/agent-<id>.jsonl" belongs to "<project>/<session>.jsonl".
QString parentOf(const FileEntry& entry) {
    if (!entry.subordinate) return {};
    const QFileInfo info(entry.path);
    return info.dir().path().chopped(QStringLiteral("/subagents").size()) +
           QStringLiteral(".jsonl");
}

}  // namespace

ProviderUsage claudeCodeUsage(const std::vector<FileEntry>& files,
                              const QStringList& projectDirectories, const QString& credentialsFile,
                              TimeMs since) {
    ProviderUsage usage = ProviderUsage::placeholder(ProviderKind::claudeCode);
    usage.isAuthenticated = QFileInfo::exists(credentialsFile);
    usage.dataSourceLabel = QStringLiteral("Local transcripts");
    const QStringList directories = distinctFolders(projectDirectories);
    usage.dataSourceDetail =
        (directories.isEmpty() ? projectDirectories : directories).join(QStringLiteral(", "));
    if (directories.isEmpty()) {
        usage.warnings = {QStringLiteral("Claude Code projects directory was not found.")};
        return usage;
    }
    // Transcripts written to since the window start, sessions before their sub-agents so these
    // can join them, each in the order of the paths' bytes.
    std::vector<const FileEntry*> recent;
    bool any = false;
    for (const FileEntry& entry : files) {
        if (entry.tool != ProviderKind::claudeCode) continue;
        any = true;
        if (modifiedMs(entry) >= since) recent.push_back(&entry);
    }
    if (!any) usage.warnings = {QStringLiteral("No Claude Code transcripts were found.")};
    std::stable_partition(recent.begin(), recent.end(),
                          [](const FileEntry* e) { return !e->subordinate; });

    std::vector<std::pair<const FileEntry*, Transcript>> sessions;
    std::vector<Transcript> orphans;
    QHash<QString, std::size_t> sessionByPath;
    for (const FileEntry* entry : recent) {
        Transcript transcript = transcriptOf(*entry, since);
        if (!entry->subordinate) {
            sessionByPath.insert(entry->path, sessions.size());
            sessions.emplace_back(entry, std::move(transcript));
        } else if (const auto parent = sessionByPath.constFind(parentOf(*entry));
                   parent != sessionByPath.constEnd()) {
            merge(sessions[*parent].second, transcript);
        } else if (transcript.requests > 0) {
            orphans.push_back(std::move(transcript));
        }
    }

    readers::ModelTotals models;
    std::vector<SessionUsage> listed;
    for (auto& [entry, transcript] : sessions) {
        // Files with only bookkeeping, or only errors, are no session of the person's.
        if (transcript.requests == 0 && transcript.prompts == 0) continue;
        SessionUsage session = sessionOf(*entry, transcript);
        addUsage(usage, models, transcript, &session);
        if (!transcript.byModel.empty()) {
            ModelUsage& last = models.entry(session.model);
            last.prompts = addCounts(last.prompts, session.prompts);
        }
        usage.lastFiveHourPrompts = addCounts(usage.lastFiveHourPrompts, transcript.recentPrompts);
        if (session.lastActiveAt && *session.lastActiveAt >= since) usage.lastFiveHourSessions += 1;
        if (session.lastActiveAt &&
            (!usage.latestActivityAt || *session.lastActiveAt > *usage.latestActivityAt)) {
            usage.latestActivityAt = session.lastActiveAt;
            usage.latestProject = session.project;
            usage.latestTask = session.task;
            usage.latestModel = session.model;
        }
        listed.push_back(std::move(session));
    }
    for (const Transcript& orphan : orphans) addUsage(usage, models, orphan, nullptr);

    std::tie(usage.statusText, usage.statusLevel) =
        CliLogParsing::status(usage.latestActivityAt, systemNow());
    usage.sessionsTotal = std::int64_t(listed.size());
    usage.models = models.sortedByCost();
    usage.sessions = readers::latestSessions(std::move(listed));
    return usage;
}

ProviderUsage geminiUsage(const std::vector<FileEntry>& files, const QString& geminiDirectory,
                          TimeMs since) {
    GeminiCliReader::Summary summary(geminiDirectory, since);
    if (summary.isMissing()) return summary.finish();
    for (const FileEntry& entry : files) {
        if (entry.tool != ProviderKind::gemini || modifiedMs(entry) < since) continue;
        entry.need(kRecentPart);
        const QFileInfo info(entry.path);
        if (GeminiChat::kindOf(info) == GeminiChat::FileKind::chatSession) {
            auto items = decodeChat(entry.facts);
            // Facts that are not this version's: the file is read again by the one interpreter.
            if (!items) items = decodeChat(readAlone(entry.path, ProviderKind::gemini).facts);
            if (items) {
                summary.addChat(entry.path, *items, GeminiChat::projectOf(info),
                                GeminiChat::isSpawnedAgent(info));
            }
            continue;
        }
        std::vector<GeminiCliReader::UsageEvent> events;
        std::vector<GeminiChat::LoggedPrompt> prompts;
        for (const RecentRecord& record : entry.recent) {
            if (record.kind == GeminiLogFacts::kUsage) {
                if (auto event = GeminiLogFacts::decodeUsage(record)) events.push_back(*event);
            } else if (record.kind == GeminiLogFacts::kLoggedPrompt) {
                if (auto prompt = GeminiLogFacts::decodePrompt(record)) prompts.push_back(*prompt);
            }
        }
        summary.addLoggedPrompts(prompts);
        summary.addEvents(entry.path, events);
    }
    return summary.finish();
}

std::vector<ProviderUsage> indexedSummaries(const std::vector<FileEntry>& files,
                                            const QString& homeDirectory, TimeMs since) {
    std::vector<ProviderUsage> summaries;
    summaries.push_back(codexUsage(files, CodexCliReader::homeFor(homeDirectory), since));
    const QDir home(homeDirectory);
    summaries.push_back(grokUsage(files, home.filePath(QStringLiteral(".grok/sessions")),
                                  home.filePath(QStringLiteral(".grok/auth.json")), since));
    summaries.push_back(geminiUsage(files, home.filePath(QStringLiteral(".gemini")), since));
    summaries.push_back(
        claudeCodeUsage(files, ClaudeCodeReader::projectDirectoriesFor(homeDirectory),
                        ClaudeCodeReader::credentialsFileFor(homeDirectory), since));
    summaries.push_back(agentUsage(files, ProviderKind::openCode, QStringLiteral("Local sessions"),
                                   {opencode::dataDirectory(homeDirectory)}, since));
    summaries.push_back(agentUsage(files, ProviderKind::qwenCode, QStringLiteral("Local chat logs"),
                                   qwenDirectories(homeDirectory), since));
    // A tool with logs, none of them from the recent window, has data: only not recent data.
    for (ProviderUsage& usage : summaries) {
        if (usage.latestActivityAt || usage.statusText != QLatin1String("No local data")) continue;
        const bool hasLogs = std::any_of(files.begin(), files.end(), [&](const FileEntry& entry) {
            return entry.tool == usage.kind;
        });
        if (hasLogs) usage.statusText = QStringLiteral("Nothing in the last 5 hours");
    }
    return summaries;
}

}  // namespace qm::ledger
