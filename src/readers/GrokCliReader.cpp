#include "readers/GrokCliReader.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>

#include "core/Pricing.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

namespace qm {
namespace {

namespace dom = simdjson::dom;
using readers::objectAt;
using readers::textAt;
using readers::toQString;

struct ParsedGrokSession {
    QString id;
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

class GrokSessionLoader {
public:
    std::optional<ParsedGrokSession> parseSummary(const QString& path) {
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
        return session;
    }

    void mergeSignals(ParsedGrokSession& session, const QString& path) {
        dom::object counters;
        if (!loadObject(path, counters)) return;
        if (const auto model = textAt(counters, "primaryModelId"); model && !model->empty()) {
            session.model = toQString(*model);
        }
        using CliLogParsing::int64;
        using CliLogParsing::tokenCount;
        session.contextTokens = tokenCount(int64(counters, {"contextTokensUsed"}));
        session.contextWindowUsage = int64(counters, {"contextWindowUsage"});
        session.prompts = tokenCount(int64(counters, {"userMessageCount"}));
        session.turns = int64(counters, {"turnCount"});
        session.toolCalls = int64(counters, {"toolCallCount"});
        session.durationSeconds = int64(counters, {"sessionDurationSeconds"});
        session.errorCount = int64(counters, {"errorCount"});
        session.toolFailureCount = int64(counters, {"toolFailureCount"});
        session.cancellationCount = int64(counters, {"cancellationCount"});
    }

    std::int64_t countUserPromptsFromChatHistory(const QString& sessionFolder) {
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

private:
    bool loadObject(const QString& path, dom::object& out) {
        if (!file_.load(path, CliLogParsing::TextFile::kNoLimit)) return false;
        const std::string_view text = file_.text();
        return parser_.parse(text.data(), text.size(), false).get(out) == simdjson::SUCCESS;
    }

    CliLogParsing::TextFile file_;
    dom::parser parser_;
};

std::vector<ParsedGrokSession> loadDedupedSessions(const QString& sessionsDirectory, TimeMs since) {
    std::vector<ParsedGrokSession> kept;
    QHash<QString, std::size_t> indexById;
    GrokSessionLoader loader;
    QDirIterator it(sessionsDirectory,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        if (info.fileName() != QLatin1String("summary.json") || !readers::isRegularFile(info)) {
            continue;
        }
        const QString summaryPath = info.filePath();
        auto session = loader.parseSummary(summaryPath);
        if (!session) continue;
        const QString folder = info.path();
        const QString signalsPath = folder + QStringLiteral("/signals.json");
        if (readers::isRegularFile(QFileInfo(signalsPath))) {
            loader.mergeSignals(*session, signalsPath);
        } else {
            session->prompts = loader.countUserPromptsFromChatHistory(folder);
        }
        if (!session->lastActiveAt)
            session->lastActiveAt = CliLogParsing::modificationTime(summaryPath);
        if (!session->lastActiveAt || *session->lastActiveAt < since) continue;

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

}  // namespace

GrokCliReader::GrokCliReader(QString sessionsDirectory, QString authFile)
    : sessionsDirectory_(std::move(sessionsDirectory)), authFile_(std::move(authFile)) {}

ProviderUsage GrokCliReader::readUsageSync(TimeMs since) const {
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
    for (const ParsedGrokSession& parsed : loadDedupedSessions(sessionsDirectory_, since)) {
        SessionUsage session;
        session.id = parsed.id;
        session.provider = ProviderKind::grok;
        session.project = parsed.project;
        session.task = parsed.task;
        session.model = parsed.model.isEmpty() ? QStringLiteral("unknown") : parsed.model;
        session.startedAt = parsed.startedAt;
        session.lastActiveAt = parsed.lastActiveAt;
        session.prompts = parsed.prompts;
        session.contextTokens = parsed.contextTokens;
        // Grok reports context tokens only; they are priced as input.
        session.cost = UsagePricing::grokCost(session.model, parsed.contextTokens, 0, 0);

        ModelUsage& model = models.entry(session.model);
        model.sessions += 1;
        model.contextTokens = addCounts(model.contextTokens, session.contextTokens);
        model.prompts = addCounts(model.prompts, session.prompts);
        model.cost += session.cost;

        usage.lastFiveHourPrompts = addCounts(usage.lastFiveHourPrompts, session.prompts);
        usage.totalContextTokens = addCounts(usage.totalContextTokens, session.contextTokens);
        usage.costTotal += session.cost;
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
    usage.lastFiveHourTokens = usage.totalContextTokens;
    std::tie(usage.statusText, usage.statusLevel) =
        CliLogParsing::status(usage.latestActivityAt, QDateTime::currentMSecsSinceEpoch());
    usage.models = models.sortedByCost();
    usage.sessions = readers::latestSessions(std::move(sessions));
    return usage;
}

}  // namespace qm
