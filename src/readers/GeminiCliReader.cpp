#include "readers/GeminiCliReader.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include "core/Pricing.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

namespace qm {
namespace {

namespace dom = simdjson::dom;
using readers::objectAt;
using readers::textAt;
using readers::toQString;

struct GeminiEvent {
    TimeMs eventAt = 0;
    QString model;
    std::int64_t inputTokens = 0;
    std::int64_t outputTokens = 0;
    std::int64_t totalTokens = 0;
    std::int64_t promptCount = 0;
    QString task;
};

bool nameLooksLikeCredential(const QString& lowerName, bool includeSecret) {
    for (const char* marker : {"auth", "oauth", "credential", "token"}) {
        if (lowerName.contains(QLatin1String(marker))) return true;
    }
    return includeSecret && lowerName.contains(QLatin1String("secret"));
}

template <typename F>
void walkRegularFiles(const QString& directory, F&& f) {
    QDirIterator it(directory,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        if (readers::isRegularFile(info)) f(info);
    }
}

// The first of `keys` whose value is text, if any.
std::optional<std::string_view> firstText(const dom::object& object,
                                          std::initializer_list<std::string_view> keys) {
    for (std::string_view key : keys) {
        if (auto text = textAt(object, key)) return text;
    }
    return std::nullopt;
}

QString firstPromptText(const dom::object& object) {
    for (std::string_view key : {"prompt", "user_query", "input", "query"}) {
        if (auto text = textAt(object, key); text && !text->empty()) return toQString(*text);
    }
    if (auto content = textAt(object, "content")) return toQString(*content);
    dom::element parts;
    if (object.at_key("parts").get(parts) == simdjson::SUCCESS && readers::isListOfObjects(parts)) {
        const dom::array list = parts.get_array().value_unsafe();
        for (dom::element part : list) {
            const dom::object partObject = part.get_object().value_unsafe();
            if (auto text = textAt(partObject, "text"); text && !text->empty()) {
                return toQString(*text);
            }
        }
    }
    return {};
}

std::optional<GeminiEvent> parseEvent(const dom::object& object, TimeMs modifiedAt, TimeMs since) {
    using CliLogParsing::int64;
    using CliLogParsing::tokenCount;
    GeminiEvent event;
    const auto stamp = firstText(object, {"timestamp", "created_at", "time", "date"});
    event.eventAt = (stamp ? CliLogParsing::date(*stamp) : std::nullopt).value_or(modifiedAt);
    if (event.eventAt < since) return std::nullopt;

    std::int64_t recordTotal = 0;
    for (std::string_view key : {"usageMetadata", "usage", "token_usage", "metadata"}) {
        const auto usage = objectAt(object, key);
        if (!usage) continue;
        event.inputTokens = tokenCount(int64(
            *usage, {"promptTokenCount", "input_tokens", "prompt_tokens", "total_input_tokens"}));
        event.outputTokens =
            tokenCount(int64(*usage, {"candidatesTokenCount", "output_tokens", "completion_tokens",
                                      "total_output_tokens"}));
        recordTotal = tokenCount(int64(*usage, {"totalTokenCount", "total_tokens", "tokens"}));
        break;
    }
    event.totalTokens = CliLogParsing::addCounts(event.inputTokens, event.outputTokens);
    if (event.totalTokens < 1) event.totalTokens = recordTotal;

    const std::string_view role = firstText(object, {"role", "type"}).value_or(std::string_view());
    const QString prompt = firstPromptText(object);
    if (role == "user" || !prompt.isEmpty()) {
        event.promptCount = 1;
    } else if (event.totalTokens < 1) {
        return std::nullopt;  // neither a prompt nor usage
    }
    event.model = toQString(
        firstText(object, {"model", "modelName", "model_name"}).value_or(std::string_view()));
    event.task = CliLogParsing::shortenedTask(prompt);
    return event;
}

void parseRoot(const dom::element& root, TimeMs modifiedAt, TimeMs since,
               std::vector<GeminiEvent>& events) {
    const auto parseList = [&](const dom::element& element) {
        const dom::array list = element.get_array().value_unsafe();
        for (dom::element item : list) {
            if (auto event = parseEvent(item.get_object().value_unsafe(), modifiedAt, since)) {
                events.push_back(std::move(*event));
            }
        }
    };
    if (readers::isListOfObjects(root)) {
        parseList(root);
        return;
    }
    dom::object object;
    if (root.get(object) != simdjson::SUCCESS) return;
    for (std::string_view key : {"history", "entries", "messages", "records", "events"}) {
        dom::element list;
        if (object.at_key(key).get(list) == simdjson::SUCCESS && readers::isListOfObjects(list)) {
            parseList(list);
            return;
        }
    }
    if (auto event = parseEvent(object, modifiedAt, since)) events.push_back(std::move(*event));
}

class GeminiFileParser {
public:
    std::vector<GeminiEvent> parse(const QString& path, TimeMs modifiedAt, TimeMs since) {
        std::vector<GeminiEvent> events;
        bool loaded = false;
        if (QFileInfo(path).suffix().toLower() == QLatin1String("json")) {
            // A document is read whole; when it does not decode it may still be JSON lines.
            loaded = file_.load(path, CliLogParsing::TextFile::kNoLimit);
            if (!loaded) return events;
            dom::element root;
            const std::string_view text = file_.text();
            if (parser_.parse(text.data(), text.size(), false).get(root) == simdjson::SUCCESS) {
                parseRoot(root, modifiedAt, since, events);
                return events;
            }
            if (text.size() > GeminiCliReader::kMaxLineFileBytes) return events;
        }
        if (!loaded && !file_.load(path, GeminiCliReader::kMaxLineFileBytes)) return events;
        CliLogParsing::forEachLine(file_.text(), [&](std::string_view line) {
            dom::object object;
            if (parser_.parse(line.data(), line.size(), false).get(object) != simdjson::SUCCESS) {
                return;
            }
            if (auto event = parseEvent(object, modifiedAt, since)) {
                events.push_back(std::move(*event));
            }
        });
        return events;
    }

private:
    CliLogParsing::TextFile file_;
    dom::parser parser_;
};

}  // namespace

GeminiCliReader::GeminiCliReader(QString geminiDirectory)
    : geminiDirectory_(std::move(geminiDirectory)) {}

bool GeminiCliReader::hasAuthHint() const {
    if (!QFileInfo(geminiDirectory_).isDir()) return false;
    bool found = false;
    walkRegularFiles(geminiDirectory_, [&](const QFileInfo& info) {
        found = found || nameLooksLikeCredential(info.fileName().toLower(), false);
    });
    return found;
}

QStringList GeminiCliReader::candidateFiles() const {
    QStringList files;
    if (!QFileInfo(geminiDirectory_).isDir()) return files;
    const QDir root(geminiDirectory_);
    walkRegularFiles(geminiDirectory_, [&](const QFileInfo& info) {
        const QString suffix = info.suffix().toLower();
        if (suffix != QLatin1String("jsonl") && suffix != QLatin1String("json") &&
            suffix != QLatin1String("log")) {
            return;
        }
        // Folders are judged inside the Gemini directory only, so a home directory that
        // happens to lie under a "tmp" or "logs" folder does not make every file a log.
        const QString inside = QLatin1Char('/') + root.relativeFilePath(info.filePath()).toLower();
        bool logLike = false;
        for (const char* folder : {"/logs/", "/tmp/", "/history", "/antigravity-cli/"}) {
            logLike = logLike || inside.contains(QLatin1String(folder));
        }
        if (!logLike || nameLooksLikeCredential(info.fileName().toLower(), true)) return;
        files.append(info.filePath());
    });
    return files;
}

ProviderUsage GeminiCliReader::readUsageSync(TimeMs since) const {
    ProviderUsage usage = ProviderUsage::placeholder(ProviderKind::gemini);
    const bool exists = QFileInfo(geminiDirectory_).isDir();
    usage.isAuthenticated = exists && hasAuthHint();
    usage.dataSourceLabel = QStringLiteral("Best-effort Gemini CLI scan");
    usage.dataSourceDetail = geminiDirectory_;
    if (!exists) {
        usage.warnings = {QStringLiteral("Gemini directory was not found.")};
        return usage;
    }

    using CliLogParsing::addCounts;
    readers::ModelTotals models;
    std::vector<SessionUsage> sessions;
    std::int64_t activeFiles = 0;
    GeminiFileParser parser;
    for (const QString& path : candidateFiles()) {
        const auto modifiedAt = CliLogParsing::modificationTime(path);
        if (!modifiedAt || *modifiedAt < since) continue;
        const std::vector<GeminiEvent> events = parser.parse(path, *modifiedAt, since);
        if (!events.empty()) ++activeFiles;
        for (std::size_t number = 0; number < events.size(); ++number) {
            const GeminiEvent& event = events[number];
            SessionUsage session;
            session.id = path + QLatin1Char('#') + QString::number(number);
            session.provider = ProviderKind::gemini;
            session.project = QStringLiteral("Gemini CLI");
            session.task = event.task;
            session.model = event.model.isEmpty() ? QStringLiteral("unknown") : event.model;
            session.startedAt = event.eventAt;
            session.lastActiveAt = event.eventAt;
            session.prompts = event.promptCount;
            session.inputTokens = event.inputTokens;
            session.outputTokens = event.outputTokens;
            session.cost = UsagePricing::geminiCost(session.model, event.inputTokens, 0,
                                                    event.outputTokens, 0);

            ModelUsage& model = models.entry(session.model);
            model.sessions += 1;
            model.inputTokens = addCounts(model.inputTokens, event.inputTokens);
            model.outputTokens = addCounts(model.outputTokens, event.outputTokens);
            model.prompts = addCounts(model.prompts, event.promptCount);
            model.cost += session.cost;

            usage.lastFiveHourPrompts = addCounts(usage.lastFiveHourPrompts, event.promptCount);
            usage.lastFiveHourTokens = addCounts(usage.lastFiveHourTokens, event.totalTokens);
            usage.totalInputTokens = addCounts(usage.totalInputTokens, event.inputTokens);
            usage.totalOutputTokens = addCounts(usage.totalOutputTokens, event.outputTokens);
            usage.costTotal += session.cost;
            if (!usage.latestActivityAt || event.eventAt > *usage.latestActivityAt) {
                usage.latestActivityAt = event.eventAt;
                usage.latestTask = session.task;
                usage.latestModel = session.model;
            }
            sessions.push_back(std::move(session));
        }
    }

    usage.sessionsTotal = activeFiles;
    usage.lastFiveHourSessions = activeFiles;
    usage.latestProject = QStringLiteral("Gemini CLI");
    std::tie(usage.statusText, usage.statusLevel) =
        CliLogParsing::status(usage.latestActivityAt, QDateTime::currentMSecsSinceEpoch());
    usage.models = models.sortedByTokens();
    usage.sessions = readers::latestSessions(std::move(sessions));
    if (activeFiles == 0) {
        usage.warnings = {QStringLiteral("No recent Gemini CLI usage records were detected.")};
    }
    return usage;
}

}  // namespace qm
