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

namespace dom = simdjson::dom;
using CliLogParsing::addCounts;
using readers::firstContentText;
using readers::isSubagentSource;
using readers::objectAt;
using readers::textAt;
using readers::toQString;
using Tokens = CodexCliReader::Tokens;

// The counts of a line whose counts were found in range.
Tokens tokensOf(const std::optional<readers::CodexCounts>& counts) {
    const readers::CodexCounts c = counts.value_or(readers::CodexCounts{});
    return {c.input, c.cached, c.output};
}

Tokens plus(const Tokens& a, const Tokens& b) {
    return {addCounts(a.input, b.input), addCounts(a.cached, b.cached),
            addCounts(a.output, b.output)};
}

// Reads rollout files one after another, reusing one line buffer and one parser.
class RolloutParser {
public:
    CodexCliReader::ParseResult parse(const QString& path, TimeMs since);

private:
    struct Prompts {
        std::int64_t count = 0;
        std::int64_t recent = 0;
        QString task;
    };

    struct State {
        TimeMs since = 0;
        CodexCliReader::ParseResult result;
        bool metaSeen = false;
        std::string ownId;
        std::optional<TimeMs> forkAt;  // lines stamped before it were copied from the parent
        bool replaying = false;        // inside the parent history a sub-agent replays
        QString model;
        bool modelFromTurn = false;
        Tokens baseline;  // the last cumulative totals seen
        Prompts typed;    // from user_message events, when the file has them
        bool sawTypedEvent = false;
        Prompts userItems;  // from user messages, for files without those events
        std::vector<CodexCliReader::ModelTokens> lineUsage;  // early per-line usage
        std::int64_t lineUsageWindow = 0;
    };

    static void addTo(std::vector<CodexCliReader::ModelTokens>& list, const QString& model,
                      const Tokens& tokens);
    void countPrompt(Prompts& prompts, std::string_view raw, std::optional<TimeMs> at);

    // One line's parts, as the steps below take them.
    struct Line {
        const dom::object& object;
        std::optional<TimeMs> at;
        std::string_view type;
        std::optional<dom::object> payload;
        std::string_view payloadType;
    };

    void handle(const dom::object& object);
    void readProject(const Line& line);
    void readMeta(const Line& line);
    void readModel(const Line& line);

    // Cumulative totals: the difference to the last ones is this turn's usage.
    void readTokenCount(const Line& line, bool& inherited);
    void readPrompt(const Line& line, bool inherited);

    // Early rollouts: usage on the line itself, under one of a few keys.
    void readLineUsage(const Line& line);
    void readLimits(const dom::object& limits, std::optional<TimeMs> at, bool inherited);
    CodexCliReader::ParseResult finish();

    State state_;
    CliLogParsing::LineStream stream_;
    dom::parser parser_;
};

CodexCliReader::ParseResult RolloutParser::parse(const QString& path, TimeMs since) {
    state_ = State{};
    state_.since = since;
    stream_.forEachLine(path, [&](std::string_view line) {
        // The whole line is validated, so a line broken anywhere counts for nothing.
        dom::object object;
        if (parser_.parse(line.data(), line.size(), false).get(object) != simdjson::SUCCESS) {
            return;
        }
        handle(object);
    });
    return finish();
}

void RolloutParser::addTo(std::vector<CodexCliReader::ModelTokens>& list, const QString& model,
                          const Tokens& tokens) {
    for (auto& entry : list) {
        if (entry.model == model) {
            entry.tokens = plus(entry.tokens, tokens);
            return;
        }
    }
    list.push_back({model, tokens});
}

void RolloutParser::countPrompt(Prompts& prompts, std::string_view raw, std::optional<TimeMs> at) {
    if (!CliLogParsing::isRealUserPrompt(raw)) return;
    ++prompts.count;
    if (!at || *at >= state_.since) ++prompts.recent;
    // Only the head can become the task: 4 KB of UTF-8 hold at least the 1024 UTF-16 units
    // a task is cut from.
    if (prompts.task.isEmpty()) {
        prompts.task = CliLogParsing::shortenedTask(toQString(raw.substr(0, 4 * 1024)));
    }
}

void RolloutParser::handle(const dom::object& object) {
    // A line whose counts break the rule for figures from outside is no usage, and is
    // skipped as the usage index skips it.
    if (!readers::codexCountsInRange(object)) return;
    const auto stamp = textAt(object, "timestamp");
    const auto payload = objectAt(object, "payload");
    const Line line{object, stamp ? CliLogParsing::date(*stamp) : std::nullopt,
                    textAt(object, "type").value_or(""), payload,
                    payload ? textAt(*payload, "type").value_or("") : std::string_view()};
    readProject(line);
    if (line.type == "session_meta" && line.payload) readMeta(line);
    bool inherited = state_.replaying || (state_.forkAt && line.at && *line.at < *state_.forkAt);
    readModel(line);
    if (line.payload && line.payloadType == "token_count") readTokenCount(line, inherited);

    auto& result = state_.result;
    if (!inherited && line.at) {
        if (!result.startedAt || *line.at < *result.startedAt) result.startedAt = line.at;
        if (!result.endedAt || *line.at > *result.endedAt) result.endedAt = line.at;
    }
    readPrompt(line, inherited);
    if (!result.hasTotalUsage && !inherited) readLineUsage(line);
}

void RolloutParser::readProject(const Line& line) {
    auto& result = state_.result;
    if (!result.project.isEmpty()) return;
    auto cwd = textAt(line.object, "cwd");
    if ((!cwd || cwd->empty()) && line.payload) cwd = textAt(*line.payload, "cwd");
    if (cwd && !cwd->empty()) result.project = CliLogParsing::projectName(toQString(*cwd));
}

void RolloutParser::readMeta(const Line& line) {
    State& s = state_;
    const std::string_view id = textAt(*line.payload, "id").value_or("");
    if (!s.metaSeen) {
        s.metaSeen = true;
        s.ownId = std::string(id);
        s.result.isSubagent = isSubagentSource(*line.payload);
        const auto parent = textAt(*line.payload, "forked_from_id");
        if (parent && !parent->empty()) s.forkAt = line.at;
    } else if (s.result.isSubagent && id != s.ownId) {
        s.replaying = true;
    }
}

void RolloutParser::readModel(const Line& line) {
    State& s = state_;
    if (line.type == "turn_context" && line.payload) {
        if (auto model = textAt(*line.payload, "model"); model && !model->empty()) {
            s.model = toQString(*model);
            s.modelFromTurn = true;
        }
    } else if (!s.modelFromTurn && s.model.isEmpty()) {
        // Early rollouts name the model on other lines.
        auto model = line.payload ? textAt(*line.payload, "model") : std::nullopt;
        if (!model || model->empty()) model = textAt(line.object, "model");
        if (model && !model->empty()) s.model = toQString(*model);
    }
}

void RolloutParser::readTokenCount(const Line& line, bool& inherited) {
    State& s = state_;
    if (const auto limits = objectAt(*line.payload, "rate_limits"))
        readLimits(*limits, line.at, inherited);
    const auto info = objectAt(*line.payload, "info");
    const auto totals = info ? objectAt(*info, "total_token_usage") : std::nullopt;
    if (!totals) return;
    const Tokens t = tokensOf(readers::codexTotals(*totals));
    // Totals only grow inside one conversation; a drop means counting began afresh, as a
    // sub-agent's own counters do after the replayed history.
    const bool restart =
        t.input < s.baseline.input || t.cached < s.baseline.cached || t.output < s.baseline.output;
    if (restart && s.replaying) s.replaying = inherited = false;
    const Tokens delta = restart ? t
                                 : Tokens{t.input - s.baseline.input, t.cached - s.baseline.cached,
                                          t.output - s.baseline.output};
    s.baseline = t;
    if (inherited) return;
    auto& result = s.result;
    result.hasTotalUsage = true;
    if (delta == Tokens{}) return;
    addTo(result.byModel, s.model, delta);
    result.tokens = plus(result.tokens, delta);
    if (!line.at || *line.at >= s.since) {
        result.windowTokens = addCounts(result.windowTokens, addCounts(delta.input, delta.output));
    }
}

void RolloutParser::readPrompt(const Line& line, bool inherited) {
    State& s = state_;
    if (!line.payload) return;
    const bool own = !inherited && !s.result.isSubagent;
    if (line.type == "event_msg" && line.payloadType == "user_message") {
        s.sawTypedEvent = true;
        if (own) countPrompt(s.typed, textAt(*line.payload, "message").value_or(""), line.at);
    } else if (textAt(*line.payload, "role") == std::optional<std::string_view>("user")) {
        if (own) countPrompt(s.userItems, firstContentText(*line.payload).value_or(""), line.at);
    }
}

void RolloutParser::readLineUsage(const Line& line) {
    State& s = state_;
    const auto usage = readers::codexLineUsageObject(line.object);
    if (!usage) return;
    const Tokens t = tokensOf(readers::codexLineUsage(*usage));
    addTo(s.lineUsage, s.model, t);
    if (!line.at || *line.at >= s.since) {
        s.lineUsageWindow = addCounts(s.lineUsageWindow, addCounts(t.input, t.output));
    }
}

void RolloutParser::readLimits(const dom::object& limits, std::optional<TimeMs> at,
                               bool inherited) {
    auto& current = state_.result.planLimits;
    const TimeMs observedAt = at.value_or(0);
    std::optional<CodexPlanLimits> found = readers::codexPlanLimits(limits, at);
    if (!found) return;
    // Copied lines repeat the parent's reports; a replay even restamps them.
    if (at && !inherited && *at >= state_.since) state_.result.limitReadings.push_back(*found);
    if (current && observedAt < current->observedAt) return;
    current = std::move(found);
}

CodexCliReader::ParseResult RolloutParser::finish() {
    State& s = state_;
    auto result = std::move(s.result);
    if (!result.hasTotalUsage && !s.lineUsage.empty()) {
        // Early rollouts: only per-line usage, summed.
        for (const auto& entry : s.lineUsage) result.tokens = plus(result.tokens, entry.tokens);
        result.byModel = std::move(s.lineUsage);
        result.windowTokens = s.lineUsageWindow;
    }
    result.model = s.model;
    const Prompts& prompts = s.sawTypedEvent ? s.typed : s.userItems;
    result.prompts = prompts.count;
    result.recentPrompts = prompts.recent;
    result.task = prompts.task;
    return result;
}

void collectRollouts(const QString& directory, QStringList& files) {
    if (!QFileInfo(directory).isDir()) return;
    QDirIterator it(directory,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        if (!info.fileName().startsWith(QLatin1String("rollout-")) ||
            !info.fileName().endsWith(QLatin1String(".jsonl")) || !readers::isRegularFile(info)) {
            continue;
        }
        files.append(info.filePath());
    }
}

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

CodexCliReader::CodexCliReader(QString codexHome) : codexHome_(std::move(codexHome)) {}

QString CodexCliReader::homeFor(const QString& homeDirectory) {
    const QString fromEnvironment = qEnvironmentVariable("CODEX_HOME");
    if (!fromEnvironment.trimmed().isEmpty()) return fromEnvironment;
    return QDir(homeDirectory).filePath(QStringLiteral(".codex"));
}

CodexCliReader::ParseResult CodexCliReader::parseFile(const QString& path,
                                                      TimeMs recentWindowStart) {
    RolloutParser parser;
    return parser.parse(path, recentWindowStart);
}

QStringList CodexCliReader::enumerateSessionFiles() const {
    QStringList files;
    const QDir home(codexHome_);
    collectRollouts(home.filePath(QStringLiteral("sessions")), files);
    collectRollouts(home.filePath(QStringLiteral("archived_sessions")), files);
    // In the order of the paths' bytes rather than of the directory listing, so that sums of
    // costs, and sessions that tie, come out the same on every file system and in the index.
    std::sort(files.begin(), files.end(), [](const QString& a, const QString& b) {
        return QFile::encodeName(a) < QFile::encodeName(b);
    });
    return files;
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

ProviderUsage CodexCliReader::readUsageSync(TimeMs since) const {
    const QStringList files = enumerateSessionFiles();
    Summary summary(codexHome_, !files.isEmpty(), since);
    if (summary.isMissing()) return summary.finish();
    RolloutParser parser;
    for (const QString& path : files) {
        // Seconds since the epoch straight from the file system: no calendar conversion.
        const auto modifiedAt = CliLogParsing::modificationTime(path);
        if (!modifiedAt || *modifiedAt < since) continue;
        summary.add(path, *modifiedAt, parser.parse(path, since));
    }
    return summary.finish();
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
