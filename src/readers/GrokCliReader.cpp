#include "readers/GrokCliReader.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <algorithm>

#include "core/Clock.h"
#include "core/Pricing.h"
#include "core/UsageFigures.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

namespace qm {
namespace {

namespace dom = simdjson::dom;
using readers::objectAt;
using readers::textAt;
using readers::toQString;

// Billed usage of one model in a session, from the tool's own turn records.
struct GrokModelUsage {
    QString model;
    std::int64_t input = 0;  // includes `cached`
    std::int64_t cached = 0;
    std::int64_t output = 0;
    double cost = 0;
};

struct ParsedGrokSession {
    QString id;
    bool hidden = false;  // an agent the tool spawned, not a conversation of the person
    bool hasUsage = false;
    std::vector<GrokModelUsage> usage;
    QString project;
    QString task;
    QString model;
    std::int64_t contextTokens = 0;
    std::int64_t contextWindowUsage = 0;
    std::int64_t prompts = 0;
    std::int64_t turns = 0;
    std::int64_t toolCalls = 0;
    std::optional<TimeMs> startedAt;
    std::optional<TimeMs> lastActiveAt;
    std::int64_t durationSeconds = 0;
    std::int64_t errorCount = 0;
    std::int64_t toolFailureCount = 0;
    std::int64_t cancellationCount = 0;
};

constexpr std::string_view kUserQueryMarker = "<user_query>";
constexpr double kTicksPerUsd = 1e10;

bool chatLineHasUserQuery(const dom::object& line) {
    dom::element content;
    if (line.at_key("content").get(content) != simdjson::SUCCESS) return false;
    std::string_view text;
    if (content.get(text) == simdjson::SUCCESS) {
        return text.find(kUserQueryMarker) != std::string_view::npos;
    }
    dom::array items;
    if (content.get(items) != simdjson::SUCCESS) return false;
    for (dom::element item : items) {
        dom::object itemObject;
        if (item.get(text) == simdjson::SUCCESS) {
            if (text.find(kUserQueryMarker) != std::string_view::npos) return true;
        } else if (item.get(itemObject) == simdjson::SUCCESS) {
            const auto itemText = textAt(itemObject, "text");
            if (itemText && itemText->find(kUserQueryMarker) != std::string_view::npos) return true;
        }
    }
    return false;
}

// One model's part of a turn; none when a figure breaks the rule for figures from outside.
std::optional<GrokCliReader::TurnUsage> turnOf(std::optional<QString> model,
                                               const dom::object& usage) {
    using CliLogParsing::tokenCountAt;
    const auto input = tokenCountAt(usage, {"inputTokens"});
    const auto cached = tokenCountAt(usage, {"cachedReadTokens"});
    const auto output = tokenCountAt(usage, {"outputTokens"});
    // Not summed here, but the usage index keeps it.
    const auto reasoning = tokenCountAt(usage, {"reasoningTokens"});
    if (!input || !cached || !output || !reasoning) return std::nullopt;
    GrokCliReader::TurnUsage turn;
    turn.model = std::move(model);
    turn.input = *input;
    turn.cached = *cached;
    turn.output = *output;
    dom::element ticks;
    double tickCount = 0;
    if (usage.at_key("costUsdTicks").get(ticks) == simdjson::SUCCESS &&
        ticks.get(tickCount) == simdjson::SUCCESS) {
        turn.ticks = tickCount;
    }
    if (!GrokCliReader::withinRule(turn)) return std::nullopt;
    return turn;
}

class GrokSessionLoader {
public:
    std::optional<ParsedGrokSession> parseSummary(const QString& path);

    // updates.jsonl: the usage the tool reports at the end of every turn, with its own cost
    // (10^10 ticks to the dollar) where it gives one; the price table prices the rest.
    std::vector<GrokCliReader::TurnUsage> parseUpdates(const QString& path);
    static void mergeTurns(ParsedGrokSession& session,
                           const std::vector<GrokCliReader::TurnUsage>& turns);
    void mergeSignals(ParsedGrokSession& session, const QString& path);
    std::int64_t countUserPromptsFromChatHistory(const QString& sessionFolder);

private:
    static void add(ParsedGrokSession& session, const QString& model,
                    const GrokCliReader::TurnUsage& turn);
    bool loadObject(const QString& path, dom::object& out);

    CliLogParsing::TextFile file_;
    CliLogParsing::LineStream stream_;
    dom::parser parser_;
};

std::optional<ParsedGrokSession> GrokSessionLoader::parseSummary(const QString& path) {
    dom::object root;
    if (!loadObject(path, root)) return std::nullopt;
    const auto info = objectAt(root, "info");
    ParsedGrokSession session;
    const std::string_view id = info ? textAt(*info, "id").value_or("") : std::string_view();
    session.id = id.empty() ? path : toQString(id);

    const std::string_view cwd = info ? textAt(*info, "cwd").value_or("") : std::string_view();
    const std::string_view gitRoot = textAt(root, "git_root_dir").value_or("");
    session.project = CliLogParsing::projectName(toQString(!gitRoot.empty() ? gitRoot : cwd));

    QString title = toQString(textAt(root, "session_summary").value_or("")).trimmed();
    if (title.isEmpty()) title = toQString(textAt(root, "generated_title").value_or(""));
    session.task = CliLogParsing::shortenedTask(title);

    const auto dateAt = [&](std::string_view key) -> std::optional<TimeMs> {
        const auto text = textAt(root, key);
        return text ? CliLogParsing::date(*text) : std::nullopt;
    };
    session.startedAt = dateAt("created_at");
    session.lastActiveAt = dateAt("last_active_at");
    if (!session.lastActiveAt) session.lastActiveAt = dateAt("updated_at");
    if (!session.lastActiveAt) session.lastActiveAt = session.startedAt;
    session.model = toQString(textAt(root, "current_model_id").value_or(""));
    bool hidden = false;
    session.hidden = (root.at_key("hidden").get(hidden) == simdjson::SUCCESS && hidden) ||
                     textAt(root, "session_kind").value_or("").starts_with("subagent");
    return session;
}

std::vector<GrokCliReader::TurnUsage> GrokSessionLoader::parseUpdates(const QString& path) {
    std::vector<GrokCliReader::TurnUsage> turns;
    stream_.forEachLine(
        path, [&](std::string_view line) { GrokCliReader::addTurnLine(parser_, line, turns); });
    return turns;
}

void GrokSessionLoader::mergeTurns(ParsedGrokSession& session,
                                   const std::vector<GrokCliReader::TurnUsage>& turns) {
    if (!turns.empty()) session.hasUsage = true;
    for (const GrokCliReader::TurnUsage& turn : turns) {
        add(session, turn.model.value_or(session.model), turn);
    }
}

void GrokSessionLoader::mergeSignals(ParsedGrokSession& session, const QString& path) {
    dom::object counters;
    if (!loadObject(path, counters)) return;
    if (const auto model = textAt(counters, "primaryModelId"); model && !model->empty()) {
        session.model = toQString(*model);
    }
    using CliLogParsing::int64;
    using CliLogParsing::tokenCountAt;
    // Counts outside the rule for figures from outside count for nothing.
    session.contextTokens = tokenCountAt(counters, {"contextTokensUsed"}).value_or(0);
    session.contextWindowUsage = int64(counters, {"contextWindowUsage"});
    session.prompts = tokenCountAt(counters, {"userMessageCount"}).value_or(0);
    session.turns = int64(counters, {"turnCount"});
    session.toolCalls = int64(counters, {"toolCallCount"});
    session.durationSeconds = int64(counters, {"sessionDurationSeconds"});
    session.errorCount = int64(counters, {"errorCount"});
    session.toolFailureCount = int64(counters, {"toolFailureCount"});
    session.cancellationCount = int64(counters, {"cancellationCount"});
}

std::int64_t GrokSessionLoader::countUserPromptsFromChatHistory(const QString& sessionFolder) {
    const QString path = sessionFolder + QStringLiteral("/chat_history.jsonl");
    if (!file_.load(path, GrokCliReader::kMaxChatHistoryBytes)) return 0;
    std::int64_t count = 0;
    CliLogParsing::forEachLine(file_.text(), [&](std::string_view line) {
        dom::object object;
        if (parser_.parse(line.data(), line.size(), false).get(object) != simdjson::SUCCESS) {
            return;
        }
        if (textAt(object, "type") == std::optional<std::string_view>("user") &&
            chatLineHasUserQuery(object)) {
            ++count;
        }
    });
    return count;
}

void GrokSessionLoader::add(ParsedGrokSession& session, const QString& model,
                            const GrokCliReader::TurnUsage& turn) {
    using CliLogParsing::addCounts;
    const double cost = turn.ticks
                            ? *turn.ticks / kTicksPerUsd
                            : UsagePricing::grokCost(model, turn.input, turn.cached, turn.output);
    for (GrokModelUsage& entry : session.usage) {
        if (entry.model != model) continue;
        entry.input = addCounts(entry.input, turn.input);
        entry.cached = addCounts(entry.cached, turn.cached);
        entry.output = addCounts(entry.output, turn.output);
        entry.cost += cost;
        return;
    }
    session.usage.push_back({model, turn.input, turn.cached, turn.output, cost});
}

bool GrokSessionLoader::loadObject(const QString& path, dom::object& out) {
    if (!file_.load(path, CliLogParsing::TextFile::kNoLimit)) return false;
    const std::string_view text = file_.text();
    return parser_.parse(text.data(), text.size(), false).get(out) == simdjson::SUCCESS;
}

// Every regular "summary.json" under the sessions folder, in the order of the paths' bytes
// (not of the directory listing), so that sessions that tie come out the same everywhere.
QStringList summaryFiles(const QString& sessionsDirectory) {
    QStringList files;
    QDirIterator it(sessionsDirectory,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        if (info.fileName() == QLatin1String("summary.json") && readers::isRegularFile(info)) {
            files.append(info.filePath());
        }
    }
    std::sort(files.begin(), files.end(), [](const QString& a, const QString& b) {
        return QFile::encodeName(a) < QFile::encodeName(b);
    });
    return files;
}

std::vector<ParsedGrokSession> loadDedupedSessions(const QString& sessionsDirectory, TimeMs since,
                                                   const GrokCliReader::TurnSource& turnsOf) {
    std::vector<ParsedGrokSession> kept;
    QHash<QString, std::size_t> indexById;
    GrokSessionLoader loader;
    for (const QString& summaryPath : summaryFiles(sessionsDirectory)) {
        auto session = loader.parseSummary(summaryPath);
        if (!session) continue;
        const QString folder = QFileInfo(summaryPath).path();
        const QString signalsPath = folder + QStringLiteral("/signals.json");
        if (readers::isRegularFile(QFileInfo(signalsPath))) {
            loader.mergeSignals(*session, signalsPath);
        } else {
            session->prompts = loader.countUserPromptsFromChatHistory(folder);
        }
        if (!session->lastActiveAt)
            session->lastActiveAt = CliLogParsing::modificationTime(summaryPath);
        if (!session->lastActiveAt || *session->lastActiveAt < since) continue;
        const QString updatesPath = folder + QStringLiteral("/updates.jsonl");
        std::optional<std::vector<GrokCliReader::TurnUsage>> turns;
        if (turnsOf) turns = turnsOf(updatesPath);
        if (!turns && readers::isRegularFile(QFileInfo(updatesPath)))
            turns = loader.parseUpdates(updatesPath);
        if (turns) GrokSessionLoader::mergeTurns(*session, *turns);
        if (session->hidden) session->prompts = 0;

        const auto existing = indexById.constFind(session->id);
        if (existing == indexById.constEnd()) {
            indexById.insert(session->id, kept.size());
            kept.push_back(std::move(*session));
        } else if (*kept[*existing].lastActiveAt < *session->lastActiveAt) {
            kept[*existing] = std::move(*session);
        }
    }
    return kept;
}

// One session of the summary. Its usage goes to `models` and the window's tokens; sessions of
// versions that logged no usage at all are priced from their context.
SessionUsage sessionOf(const ParsedGrokSession& parsed, readers::ModelTotals& models,
                       std::int64_t& windowTokens) {
    using CliLogParsing::addCounts;
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
    // of versions that logged no usage at all.
    session.contextTokens = parsed.contextTokens;

    if (parsed.hasUsage) {
        for (const GrokModelUsage& part : parsed.usage) {
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
    } else {
        session.cost = UsagePricing::grokCost(session.model, parsed.contextTokens, 0, 0);
        ModelUsage& model = models.entry(session.model);
        model.sessions += 1;
        model.cost += session.cost;
        windowTokens = addCounts(windowTokens, session.contextTokens);
    }
    return session;
}

}  // namespace

bool GrokCliReader::withinRule(const TurnUsage& turn) {
    return UsageFigures::isCallTokens({turn.input, turn.output}) &&
           UsageFigures::isTokenCount(turn.cached) &&
           (!turn.ticks || UsageFigures::isCostUsd(*turn.ticks / kTicksPerUsd));
}

GrokCliReader::TurnLine GrokCliReader::addTurnLine(simdjson::dom::parser& parser,
                                                   std::string_view line,
                                                   std::vector<TurnUsage>& turns) {
    // Most lines stream the reply; only finished turns carry usage.
    if (line.find("turn_completed") == std::string_view::npos) return TurnLine::other;
    dom::object object;
    if (parser.parse(line.data(), line.size(), false).get(object) != simdjson::SUCCESS)
        return TurnLine::other;
    const auto params = objectAt(object, "params");
    const auto update = params ? objectAt(*params, "update") : std::nullopt;
    if (!update ||
        textAt(*update, "sessionUpdate") != std::optional<std::string_view>("turn_completed")) {
        return TurnLine::other;
    }
    const auto usage = objectAt(*update, "usage");
    if (!usage) return TurnLine::other;
    // The whole turn is checked before any part of it counts.
    std::vector<TurnUsage> parts;
    if (const auto perModel = objectAt(*usage, "modelUsage")) {
        for (const auto field : *perModel) {
            dom::object modelUsage;
            if (field.value.get(modelUsage) != simdjson::SUCCESS) continue;
            auto part = turnOf(toQString(field.key), modelUsage);
            if (!part) return TurnLine::skipped;
            parts.push_back(std::move(*part));
        }
    }
    // The turn's own figures are checked even when its models' parts are the ones counted.
    auto whole = turnOf(std::nullopt, *usage);
    if (!whole) return TurnLine::skipped;
    if (parts.empty()) parts.push_back(std::move(*whole));
    turns.insert(turns.end(), std::make_move_iterator(parts.begin()),
                 std::make_move_iterator(parts.end()));
    return TurnLine::turn;
}

GrokCliReader::GrokCliReader(QString sessionsDirectory, QString authFile)
    : sessionsDirectory_(std::move(sessionsDirectory)), authFile_(std::move(authFile)) {}

ProviderUsage GrokCliReader::readUsageSync(TimeMs since) const {
    return summarize(since, {});
}

ProviderUsage GrokCliReader::summarize(TimeMs since, const TurnSource& turnsOf) const {
    ProviderUsage usage = ProviderUsage::placeholder(ProviderKind::grok);
    usage.isAuthenticated = QFileInfo::exists(authFile_);
    usage.dataSourceLabel = QStringLiteral("Local Grok sessions");
    usage.dataSourceDetail = sessionsDirectory_;
    if (!QFileInfo(sessionsDirectory_).isDir()) {
        usage.warnings = {QStringLiteral("Grok sessions directory was not found.")};
        return usage;
    }

    using CliLogParsing::addCounts;
    readers::ModelTotals models;
    std::vector<SessionUsage> sessions;
    std::int64_t windowTokens = 0;
    for (const ParsedGrokSession& parsed :
         loadDedupedSessions(sessionsDirectory_, since, turnsOf)) {
        SessionUsage session = sessionOf(parsed, models, windowTokens);
        // Context and prompts go to the model the session used last.
        const QString lastModel =
            parsed.hasUsage && !parsed.usage.empty() && !parsed.usage.back().model.isEmpty()
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
