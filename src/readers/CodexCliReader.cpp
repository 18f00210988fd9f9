#include "readers/CodexCliReader.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "core/Clock.h"
#include "core/Pricing.h"
#include "core/UsageFigures.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

namespace qm {
namespace {

using CliLogParsing::addCounts;
using readers::objectAt;
using readers::textAt;
using readers::toQString;

// The newest limits of all files, and every report of each, kept in time order: sessions run
// side by side, and their reports are one account's readings.
void takePlanLimits(ProviderUsage& usage, CodexCliReader::ParseResult& result) {
    if (result.planLimits &&
        (!usage.planLimits || result.planLimits->observedAt >= usage.planLimits->observedAt)) {
        usage.planLimits = result.planLimits;
    }
    auto& all = usage.planReadings;
    const auto middle = all.insert(all.end(), std::make_move_iterator(result.limitReadings.begin()),
                                   std::make_move_iterator(result.limitReadings.end()));
    const auto byTime = [](const auto& a, const auto& b) { return a.observedAt < b.observedAt; };
    std::stable_sort(middle, all.end(), byTime);
    std::inplace_merge(all.begin(), middle, all.end(), byTime);
}

// One rollout as a session of the summary; each model's share is priced at its own rates and
// added to `models`.
SessionUsage sessionOf(const QString& path, const CodexCliReader::ParseResult& result,
                       TimeMs modifiedAt, readers::ModelTotals& models) {
    SessionUsage session;
    session.id = path;
    session.provider = ProviderKind::codex;
    session.model = result.model.isEmpty() ? QStringLiteral("unknown") : result.model;
    session.project = result.project.isEmpty() ? QStringLiteral("unknown") : result.project;
    session.task = result.task;
    session.startedAt = result.startedAt;
    if (!session.startedAt) session.startedAt = CliLogParsing::creationDate(path);
    if (!session.startedAt) session.startedAt = modifiedAt;
    session.lastActiveAt = result.endedAt ? *result.endedAt : modifiedAt;
    // Usage without a typed prompt still stands for one; a sub-agent's never does.
    session.prompts = result.isSubagent ? 0 : std::max<std::int64_t>(result.prompts, 1);
    session.inputTokens = result.tokens.input;
    session.outputTokens = result.tokens.output;
    session.cachedTokens = result.tokens.cached;
    for (const CodexCliReader::ModelTokens& part : result.byModel) {
        const QString name = part.model.isEmpty() ? QStringLiteral("unknown") : part.model;
        const double cost = UsagePricing::openAiCost(name, part.tokens.input, part.tokens.cached,
                                                     part.tokens.output);
        session.cost += cost;
        ModelUsage& model = models.entry(name);
        model.sessions += 1;
        model.inputTokens = addCounts(model.inputTokens, part.tokens.input);
        model.outputTokens = addCounts(model.outputTokens, part.tokens.output);
        model.cachedTokens = addCounts(model.cachedTokens, part.tokens.cached);
        model.cost += cost;
    }
    return session;
}

}  // namespace

QString CodexCliReader::homeFor(const QString& homeDirectory) {
    const QString fromEnvironment = qEnvironmentVariable("CODEX_HOME");
    if (!fromEnvironment.trimmed().isEmpty()) return fromEnvironment;
    return QDir(homeDirectory).filePath(QStringLiteral(".codex"));
}

struct CodexCliReader::Summary::Models : readers::ModelTotals {};

CodexCliReader::Summary::Summary(const QString& codexHome, bool hasFiles, TimeMs since)
    : since_(since), models_(std::make_shared<Models>()) {
    const QDir home(codexHome);
    usage_ = ProviderUsage::placeholder(ProviderKind::codex);
    usage_.isAuthenticated = QFileInfo::exists(home.filePath(QStringLiteral("auth.json")));
    usage_.dataSourceLabel = QStringLiteral("Local rollout logs");
    usage_.dataSourceDetail = home.filePath(QStringLiteral("sessions"));
    if (!QFileInfo(usage_.dataSourceDetail).isDir() &&
        !QFileInfo(home.filePath(QStringLiteral("archived_sessions"))).isDir()) {
        usage_.warnings = {QStringLiteral("Codex sessions directory was not found.")};
        missing_ = true;
        return;
    }
    if (!hasFiles) usage_.warnings = {QStringLiteral("No rollout JSONL files were found.")};
}

void CodexCliReader::Summary::add(const QString& path, TimeMs modifiedAt, ParseResult result) {
    ProviderUsage& usage = usage_;
    takePlanLimits(usage, result);
    if (!result.hasTotalUsage && result.tokens.input < 1 && result.tokens.output < 1) return;

    SessionUsage session = sessionOf(path, result, modifiedAt, *models_);
    usage.totalInputTokens = addCounts(usage.totalInputTokens, session.inputTokens);
    usage.totalOutputTokens = addCounts(usage.totalOutputTokens, session.outputTokens);
    usage.totalCachedTokens = addCounts(usage.totalCachedTokens, session.cachedTokens);
    usage.costTotal += session.cost;

    // A file without any time stamp counts as recent as a whole when it was written to
    // inside the window.
    const TimeMs since = since_;
    const std::int64_t recent = !result.startedAt
                                    ? (*session.lastActiveAt >= since ? session.prompts : 0)
                                    : result.recentPrompts;
    if (*session.lastActiveAt >= since || recent > 0) {
        usage.lastFiveHourSessions += 1;
        usage.lastFiveHourPrompts = addCounts(usage.lastFiveHourPrompts, recent);
        usage.lastFiveHourTokens = addCounts(usage.lastFiveHourTokens, result.windowTokens);
    }

    if (!usage.latestActivityAt || *session.lastActiveAt > *usage.latestActivityAt) {
        usage.latestActivityAt = session.lastActiveAt;
        usage.latestModel = session.model;
    }
    // The latest task is what a person last asked, so a sub-agent does not take it over.
    if (!result.isSubagent && (!latestTaskAt_ || *session.lastActiveAt > *latestTaskAt_)) {
        latestTaskAt_ = session.lastActiveAt;
        usage.latestProject = session.project;
        usage.latestTask = session.task;
    }
    sessions_.push_back(std::move(session));
}

ProviderUsage CodexCliReader::Summary::finish() {
    if (missing_) return std::move(usage_);
    std::tie(usage_.statusText, usage_.statusLevel) =
        CliLogParsing::status(usage_.latestActivityAt, systemNow());
    usage_.sessionsTotal = std::int64_t(sessions_.size());
    usage_.models = models_->sortedByCost();
    usage_.sessions = readers::latestSessions(std::move(sessions_));
    return std::move(usage_);
}

namespace readers {

namespace {

std::optional<CodexCounts> checkedCounts(const std::optional<std::int64_t>& input,
                                         const std::optional<std::int64_t>& cached,
                                         const std::optional<std::int64_t>& output,
                                         const std::optional<std::int64_t>& reasoning) {
    if (!input || !cached || !output || !reasoning ||
        !UsageFigures::isCallTokens({*input, *output}))
        return std::nullopt;
    return CodexCounts{*input, *cached, *output, *reasoning};
}

std::optional<PlanWindow> planWindow(const simdjson::dom::object& limits, std::string_view key,
                                     std::optional<TimeMs> eventAt) {
    const auto window = objectAt(limits, key);
    if (!window) return std::nullopt;
    PlanWindow result;
    double used = 0;
    if (window->at_key("used_percent").get(used) != simdjson::SUCCESS) return std::nullopt;
    result.usedPercent = used;
    result.windowMinutes = CliLogParsing::int64(*window, {"window_minutes"});
    std::int64_t resetsAt = 0;
    std::int64_t resetsIn = 0;
    if (window->at_key("resets_at").get(resetsAt) == simdjson::SUCCESS && resetsAt > 0) {
        result.resetsAt = resetsAt * 1000;
    } else if (window->at_key("resets_in_seconds").get(resetsIn) == simdjson::SUCCESS && eventAt) {
        result.resetsAt = *eventAt + resetsIn * 1000;  // older versions count from the event
    }
    return result;
}

}  // namespace

std::optional<CodexCounts> codexTotals(const simdjson::dom::object& totals) {
    using CliLogParsing::tokenCountAt;
    return checkedCounts(
        tokenCountAt(totals, {"input_tokens", "prompt_tokens"}),
        tokenCountAt(totals, {"cached_input_tokens", "input_cached_tokens", "cached_tokens"}),
        tokenCountAt(totals, {"output_tokens", "completion_tokens"}),
        tokenCountAt(totals, {"reasoning_output_tokens"}));
}

std::optional<CodexCounts> codexLineUsage(const simdjson::dom::object& usage) {
    using CliLogParsing::tokenCountAt;
    return checkedCounts(
        tokenCountAt(usage, {"input_tokens", "prompt_tokens", "total_input_tokens"}),
        tokenCountAt(usage, {"input_cached_tokens", "cached_tokens", "cache_read_input_tokens"}),
        tokenCountAt(usage, {"output_tokens", "completion_tokens", "total_output_tokens"}),
        std::optional<std::int64_t>(0));
}

std::optional<simdjson::dom::object> codexLineUsageObject(const simdjson::dom::object& line) {
    for (std::string_view key : {"usage", "token_usage", "tokens"}) {
        if (auto usage = objectAt(line, key)) return usage;
    }
    return std::nullopt;
}

bool codexCountsInRange(const simdjson::dom::object& line) {
    if (const auto usage = codexLineUsageObject(line); usage && !codexLineUsage(*usage))
        return false;
    const auto payload = objectAt(line, "payload");
    const auto info = payload ? objectAt(*payload, "info") : std::nullopt;
    if (!info || textAt(*payload, "type") != std::optional<std::string_view>("token_count"))
        return true;
    for (std::string_view key : {"total_token_usage", "last_token_usage"}) {
        if (const auto counts = objectAt(*info, key); counts && !codexTotals(*counts)) return false;
    }
    return true;
}

std::optional<CodexPlanLimits> codexPlanLimits(const simdjson::dom::object& limits,
                                               std::optional<TimeMs> at) {
    CodexPlanLimits found;
    found.fiveHour = planWindow(limits, "primary", at);
    found.weekly = planWindow(limits, "secondary", at);
    found.planType = toQString(textAt(limits, "plan_type").value_or(""));
    found.observedAt = at.value_or(0);
    if (!found.fiveHour && !found.weekly) return std::nullopt;
    return found;
}

}  // namespace readers

}  // namespace qm
