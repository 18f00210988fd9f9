#include "readers/GrokCliReader.h"

#include <QFileInfo>

#include "core/Clock.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

namespace qm {
namespace {

using CliLogParsing::addCounts;

// One session of the summary. Its usage goes to `models` and the window's tokens; a session
// that logged none is priced from its context.
SessionUsage sessionOf(const GrokCliReader::Session& parsed, readers::ModelTotals& models,
                       std::int64_t& windowTokens) {
    SessionUsage session;
    session.id = parsed.id;
    session.provider = ProviderKind::grok;
    session.project = parsed.project;
    session.task = parsed.task;
    session.model = parsed.model.isEmpty() ? QStringLiteral("unknown") : parsed.model;
    session.startedAt = parsed.startedAt;
    session.lastActiveAt = parsed.lastActiveAt;
    session.prompts = parsed.prompts;
    // The current fill of the context window: shown as context, priced only for sessions
    // that logged no usage at all.
    session.contextTokens = parsed.contextTokens;

    if (!parsed.usage.empty()) {
        for (const GrokCliReader::ModelPart& part : parsed.usage) {
            const QString name = part.model.isEmpty() ? session.model : part.model;
            session.inputTokens = addCounts(session.inputTokens, part.input);
            session.cachedTokens = addCounts(session.cachedTokens, part.cached);
            session.outputTokens = addCounts(session.outputTokens, part.output);
            session.cost += part.cost;
            ModelUsage& model = models.entry(name);
            model.sessions += 1;
            model.inputTokens = addCounts(model.inputTokens, part.input);
            model.cachedTokens = addCounts(model.cachedTokens, part.cached);
            model.outputTokens = addCounts(model.outputTokens, part.output);
            model.cost += part.cost;
        }
        windowTokens =
            addCounts(windowTokens, addCounts(session.inputTokens, session.outputTokens));
    }
    if (parsed.estimatedCost) {
        session.cost += *parsed.estimatedCost;
        ModelUsage& model = models.entry(session.model);
        model.sessions += 1;
        model.cost += *parsed.estimatedCost;
        windowTokens = addCounts(windowTokens, session.contextTokens);
    }
    return session;
}

}  // namespace

void GrokCliReader::Session::add(const QString& model, std::int64_t input, std::int64_t cached,
                                 std::int64_t output, double cost) {
    for (ModelPart& part : usage) {
        if (part.model != model) continue;
        part.input = addCounts(part.input, input);
        part.cached = addCounts(part.cached, cached);
        part.output = addCounts(part.output, output);
        part.cost += cost;
        return;
    }
    usage.push_back({model, input, cached, output, cost});
}

GrokCliReader::Summary::Summary(const QString& sessionsDirectory, const QString& authFile)
    : usage_(ProviderUsage::placeholder(ProviderKind::grok)) {
    usage_.isAuthenticated = QFileInfo::exists(authFile);
    usage_.dataSourceLabel = QStringLiteral("Local Grok sessions");
    usage_.dataSourceDetail = sessionsDirectory;
    if (!QFileInfo(sessionsDirectory).isDir()) {
        usage_.warnings = {QStringLiteral("Grok sessions directory was not found.")};
        missing_ = true;
    }
}

void GrokCliReader::Summary::add(Session session) {
    if (missing_ || !session.lastActiveAt) return;
    const auto existing = indexById_.constFind(session.id);
    if (existing == indexById_.constEnd()) {
        indexById_.insert(session.id, kept_.size());
        kept_.push_back(std::move(session));
    } else if (*kept_[*existing].lastActiveAt < *session.lastActiveAt) {
        kept_[*existing] = std::move(session);
    }
}

ProviderUsage GrokCliReader::Summary::finish() {
    ProviderUsage usage = std::move(usage_);
    if (missing_) return usage;
    readers::ModelTotals models;
    std::vector<SessionUsage> sessions;
    std::int64_t windowTokens = 0;
    for (const Session& parsed : kept_) {
        SessionUsage session = sessionOf(parsed, models, windowTokens);
        // Context and prompts go to the model the session used last.
        const QString lastModel = !parsed.usage.empty() && !parsed.usage.back().model.isEmpty()
                                      ? parsed.usage.back().model
                                      : session.model;
        ModelUsage& model = models.entry(lastModel);
        model.contextTokens = addCounts(model.contextTokens, session.contextTokens);
        model.prompts = addCounts(model.prompts, session.prompts);

        usage.totalInputTokens = addCounts(usage.totalInputTokens, session.inputTokens);
        usage.totalCachedTokens = addCounts(usage.totalCachedTokens, session.cachedTokens);
        usage.totalOutputTokens = addCounts(usage.totalOutputTokens, session.outputTokens);
        usage.totalContextTokens = addCounts(usage.totalContextTokens, session.contextTokens);
        usage.costTotal += session.cost;
        // A spawned agent's usage counts; it is not a session of the person's own.
        if (parsed.hidden) continue;
        usage.lastFiveHourPrompts = addCounts(usage.lastFiveHourPrompts, session.prompts);
        if (!usage.latestActivityAt || *session.lastActiveAt > *usage.latestActivityAt) {
            usage.latestActivityAt = session.lastActiveAt;
            usage.latestProject = session.project;
            usage.latestTask = session.task;
            usage.latestModel = session.model;
        }
        sessions.push_back(std::move(session));
    }

    usage.sessionsTotal = std::int64_t(sessions.size());
    usage.lastFiveHourSessions = usage.sessionsTotal;
    usage.lastFiveHourTokens = windowTokens;
    std::tie(usage.statusText, usage.statusLevel) =
        CliLogParsing::status(usage.latestActivityAt, systemNow());
    usage.models = models.sortedByCost();
    usage.sessions = readers::latestSessions(std::move(sessions));
    return usage;
}

}  // namespace qm
