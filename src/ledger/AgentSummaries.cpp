#include <QDir>
#include <QFileInfo>

#include "core/Clock.h"
#include "core/Pricing.h"
#include "ledger/AgentRecords.h"
#include "ledger/FiveHourSummaries.h"
#include "ledger/LedgerPricing.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

namespace qm::ledger {
namespace {

using CliLogParsing::addCounts;

// A model's part of one session: the whole session, and the part since the window start.
struct AgentModelPart {
    QString model;
    Counts whole;
    double cost = 0;
    Counts window;
    double windowCost = 0;
};

struct AgentSessionParts {
    AgentFacts facts;
    std::vector<AgentModelPart> byModel;
    std::int64_t prompts = 0;
    std::int64_t windowPrompts = 0;
};

AgentModelPart& agentPart(std::vector<AgentModelPart>& parts, const QString& model) {
    for (AgentModelPart& part : parts)
        if (part.model == model) return part;
    parts.push_back({model, {}, 0, {}, 0});
    return parts.back();
}

AgentSessionParts agentPartsOf(const FileEntry& entry, TimeMs since) {
    entry.need(kRowsPart | kRecentPart);
    AgentSessionParts parts;
    parts.facts.decode(entry.facts);
    for (const HourRow& row : entry.rows) {
        parts.prompts = addCounts(parts.prompts, row.counts.prompts);
        if (row.counts.calls == 0) continue;
        const QString& model = entry.models[row.model];
        AgentModelPart& part = agentPart(parts.byModel, model);
        part.whole += row.counts;
        part.cost += rowCost(entry.tool, model, row.counts, row.flags).usd.value_or(0);
    }
    for (const RecentRecord& record : entry.recent) {
        if (record.at < since) continue;
        if (record.kind == AgentFacts::kPrompt) {
            parts.windowPrompts = addCounts(parts.windowPrompts, 1);
            continue;
        }
        QString model;
        std::uint8_t flags = 0;
        Counts counts;
        if (record.kind != AgentFacts::kCall ||
            !AgentFacts::decodeCall(record.detail, model, flags, counts))
            continue;
        AgentModelPart& part = agentPart(parts.byModel, model);
        part.window += counts;
        part.windowCost += rowCost(entry.tool, model, counts, flags).usd.value_or(0);
    }
    return parts;
}

void addAgentParts(ProviderUsage& usage, readers::ModelTotals& models,
                   const AgentSessionParts& parts, SessionUsage* session) {
    for (const AgentModelPart& part : parts.byModel) {
        const Counts& c = part.whole;
        ModelUsage& model = models.entry(part.model);
        if (session) model.sessions += 1;
        model.inputTokens = addCounts(model.inputTokens, c.input);
        model.outputTokens = addCounts(model.outputTokens, c.output);
        model.cachedTokens = addCounts(model.cachedTokens, c.cachedInput);
        model.cacheWriteTokens = addCounts(model.cacheWriteTokens, c.cacheWrite);
        model.cost += part.cost;
        usage.totalInputTokens = addCounts(usage.totalInputTokens, c.input);
        usage.totalOutputTokens = addCounts(usage.totalOutputTokens, c.output);
        usage.totalCachedTokens = addCounts(usage.totalCachedTokens, c.cachedInput);
        usage.totalCacheWriteTokens = addCounts(usage.totalCacheWriteTokens, c.cacheWrite);
        usage.costTotal += part.cost;
        usage.lastFiveHourTokens =
            addCounts(usage.lastFiveHourTokens, addCounts(part.window.input, part.window.output));
        usage.lastFiveHourCost += part.windowCost;
        if (!session) continue;
        session->inputTokens = addCounts(session->inputTokens, c.input);
        session->outputTokens = addCounts(session->outputTokens, c.output);
        session->cachedTokens = addCounts(session->cachedTokens, c.cachedInput);
        session->cacheWriteTokens = addCounts(session->cacheWriteTokens, c.cacheWrite);
        session->cost += part.cost;
    }
}

SessionUsage agentSessionOf(const FileEntry& entry, const AgentSessionParts& parts) {
    SessionUsage session;
    session.id = entry.session.isEmpty() ? entry.path : entry.session;
    session.provider = entry.tool;
    session.project = entry.project.isEmpty() ? QStringLiteral("unknown") : entry.project;
    session.task = parts.facts.task;
    session.model = parts.facts.model.isEmpty() ? QStringLiteral("unknown") : parts.facts.model;
    session.startedAt = parts.facts.startedAt;
    session.lastActiveAt = parts.facts.lastActiveAt;
    if (!session.lastActiveAt) session.lastActiveAt = entry.lastActiveAt;
    if (!session.startedAt) session.startedAt = session.lastActiveAt;
    session.prompts = parts.prompts;
    return session;
}

}  // namespace

ProviderUsage agentUsage(const std::vector<FileEntry>& files, ProviderKind tool,
                         const QString& source, const QStringList& folders, TimeMs since) {
    ProviderUsage usage = ProviderUsage::placeholder(tool);
    usage.dataSourceLabel = source;
    usage.dataSourceDetail = folders.join(QStringLiteral(", "));
    readers::ModelTotals models;
    std::vector<SessionUsage> listed;
    for (const FileEntry& entry : files) {
        if (entry.tool != tool || entry.lastActiveAt < since) continue;
        const AgentSessionParts parts = agentPartsOf(entry, since);
        usage.lastFiveHourPrompts = addCounts(usage.lastFiveHourPrompts, parts.windowPrompts);
        // A sub-agent's session adds its usage; the session the person runs is its parent's.
        if (entry.subordinate) {
            addAgentParts(usage, models, parts, nullptr);
            continue;
        }
        if (parts.byModel.empty() && parts.prompts == 0) continue;
        SessionUsage session = agentSessionOf(entry, parts);
        addAgentParts(usage, models, parts, &session);
        if (session.lastActiveAt >= since) usage.lastFiveHourSessions += 1;
        if (!usage.latestActivityAt || *session.lastActiveAt > *usage.latestActivityAt) {
            usage.latestActivityAt = session.lastActiveAt;
            usage.latestProject = session.project;
            usage.latestTask = session.task;
            usage.latestModel = session.model;
        }
        listed.push_back(std::move(session));
    }
    std::tie(usage.statusText, usage.statusLevel) =
        CliLogParsing::status(usage.latestActivityAt, systemNow());
    usage.sessionsTotal = std::int64_t(listed.size());
    usage.models = models.sortedByCost();
    usage.sessions = readers::latestSessions(std::move(listed));
    UsagePricing::noteUnpricedModels(usage);
    return usage;
}

}  // namespace qm::ledger
