#include "readers/GeminiCliReader.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>

#include "core/Pricing.h"
#include "readers/CliLogParsing.h"
#include "readers/GeminiChatRecords.h"
#include "readers/ReaderSupport.h"

namespace qm {
namespace {

namespace dom = simdjson::dom;
using namespace GeminiChat;
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

    // A chat recording: JSON lines (current) or one document with a "messages" list.
    void parseChat(const QString& path, TimeMs modifiedAt, QHash<QString, ChatSession>& sessions,
                   std::vector<QString>& order, const QString& project, bool spawned) {
        QString key = path;
        const auto sessionOf = [&]() -> ChatSession& {
            auto found = sessions.find(key);
            if (found == sessions.end()) {
                found = sessions.insert(key, ChatSession{key, project, spawned, {}, {}});
                order.push_back(key);
            }
            return *found;
        };
        const auto take = [&](const dom::object& object) {
            if (auto id = textAt(object, "sessionId"); id && !id->empty()) {
                key = toQString(*id);  // the same session may have been written by two versions
                return;
            }
            if (auto record = chatRecord(object, modifiedAt)) {
                sessionOf().put(record->first, std::move(record->second));
            }
        };
        if (path.endsWith(QLatin1String(".json"))) {
            dom::object root;
            if (!loadDocument(path).get(root)) return;
            take(root);
            dom::array messages;
            if (root.at_key("messages").get(messages) != simdjson::SUCCESS) return;
            for (dom::element item : messages) {
                dom::object object;
                if (item.get(object) == simdjson::SUCCESS) take(object);
            }
            return;
        }
        stream_.forEachLine(path, [&](std::string_view line) {
            dom::object object;
            if (parser_.parse(line.data(), line.size(), false).get(object) != simdjson::SUCCESS) {
                return;
            }
            take(object);
        });
    }

    // logs.json: a list of prompts as typed. False when the file is not such a list.
    bool parsePromptLog(const QString& path, TimeMs modifiedAt, std::vector<LoggedPrompt>& out) {
        dom::element root;
        if (!loadDocument(path).get(root) || !readers::isListOfObjects(root)) return false;
        const dom::array entries = root.get_array().value_unsafe();
        for (dom::element item : entries) {
            const dom::object entry = item.get_object().value_unsafe();
            if (textAt(entry, "type") != std::optional<std::string_view>("user")) continue;
            LoggedPrompt prompt;
            prompt.sessionId = toQString(textAt(entry, "sessionId").value_or(""));
            const auto stamp = textAt(entry, "timestamp");
            prompt.at = (stamp ? CliLogParsing::date(*stamp) : std::nullopt).value_or(modifiedAt);
            prompt.text = toQString(textAt(entry, "message").value_or(""));
            if (CliLogParsing::isRealUserPrompt(prompt.text)) out.push_back(std::move(prompt));
        }
        return true;
    }

private:
    struct Loaded {
        simdjson::dom::element root;
        bool ok = false;
        template <typename T>
        bool get(T& out) const {
            return ok && root.get(out) == simdjson::SUCCESS;
        }
    };
    Loaded loadDocument(const QString& path) {
        Loaded loaded;
        if (!file_.load(path, CliLogParsing::TextFile::kNoLimit)) return loaded;
        const std::string_view text = file_.text();
        loaded.ok =
            parser_.parse(text.data(), text.size(), false).get(loaded.root) == simdjson::SUCCESS;
        return loaded;
    }

    CliLogParsing::TextFile file_;
    CliLogParsing::LineStream stream_;
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
    std::optional<TimeMs> latestPromptAt;
    // The latest task is what the person last asked, never a reply or a status line.
    const auto notePrompt = [&](TimeMs at, const QString& task, const QString& project) {
        if (task.isEmpty() || (latestPromptAt && at < *latestPromptAt)) return;
        latestPromptAt = at;
        usage.latestTask = task;
        usage.latestProject = project;
    };
    const auto noteActivity = [&](TimeMs at, const QString& model) {
        if (usage.latestActivityAt && at <= *usage.latestActivityAt) return;
        usage.latestActivityAt = at;
        usage.latestModel = model;
    };

    GeminiFileParser parser;
    QHash<QString, ChatSession> chats;
    std::vector<QString> chatOrder;
    std::vector<LoggedPrompt> logged;
    for (const QString& path : candidateFiles()) {
        const auto modifiedAt = CliLogParsing::modificationTime(path);
        if (!modifiedAt || *modifiedAt < since) continue;
        const QFileInfo info(path);
        const FileKind kind = kindOf(info);
        if (kind == FileKind::checkpoint) continue;  // a copy of turns already recorded
        if (kind == FileKind::chatSession) {
            parser.parseChat(path, *modifiedAt, chats, chatOrder, projectOf(info),
                             isSpawnedAgent(info));
            continue;
        }
        if (kind == FileKind::promptLog && parser.parsePromptLog(path, *modifiedAt, logged)) {
            continue;
        }
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
            noteActivity(event.eventAt, session.model);
            if (event.promptCount > 0) notePrompt(event.eventAt, session.task, session.project);
            sessions.push_back(std::move(session));
        }
    }

    // Prompts of logs.json count only for sessions without a chat recording (older versions);
    // otherwise the recording already holds them.
    for (const LoggedPrompt& prompt : logged) {
        if (prompt.at < since || chats.contains(prompt.sessionId)) continue;
        const QString key = QStringLiteral("log:") + prompt.sessionId;
        if (!chats.contains(key)) chatOrder.push_back(key);
        ChatRecord record;
        record.at = prompt.at;
        record.isPrompt = true;
        record.prompt = prompt.text;
        ChatSession& session = chats[key];
        if (session.key.isEmpty())
            session = ChatSession{key, QStringLiteral("Gemini CLI"), false, {}, {}};
        session.put({}, std::move(record));
    }

    for (const QString& key : chatOrder) {
        const ChatSession& chat = chats[key];
        SessionUsage session;
        session.id = chat.key;
        session.provider = ProviderKind::gemini;
        session.project = chat.project;
        QHash<QString, bool> modelsSeen;
        for (const ChatRecord& record : chat.records) {
            if (record.at < since) continue;  // every figure describes the window
            if (!session.startedAt || record.at < *session.startedAt) session.startedAt = record.at;
            if (!session.lastActiveAt || record.at > *session.lastActiveAt) {
                session.lastActiveAt = record.at;
            }
            if (record.isPrompt) {
                if (chat.spawned) continue;  // the parent's instruction, not a person's prompt
                ++session.prompts;
                const QString task = CliLogParsing::shortenedTask(record.prompt);
                if (session.task.isEmpty()) session.task = task;
                notePrompt(record.at, task, chat.project);
                continue;
            }
            const QString name = record.model.isEmpty() ? QStringLiteral("unknown") : record.model;
            const double cost = UsagePricing::geminiCost(name, record.input, record.cached,
                                                         record.output, record.thoughts);
            // Thinking is output the model produced and is billed as such.
            const std::int64_t output = addCounts(record.output, record.thoughts);
            session.model = name;
            session.inputTokens = addCounts(session.inputTokens, record.input);
            session.cachedTokens = addCounts(session.cachedTokens, record.cached);
            session.outputTokens = addCounts(session.outputTokens, output);
            session.cost += cost;
            ModelUsage& model = models.entry(name);
            if (!modelsSeen.contains(name)) {
                modelsSeen.insert(name, true);
                model.sessions += 1;
            }
            model.inputTokens = addCounts(model.inputTokens, record.input);
            model.cachedTokens = addCounts(model.cachedTokens, record.cached);
            model.outputTokens = addCounts(model.outputTokens, output);
            model.cost += cost;
        }
        if (!session.lastActiveAt) continue;  // nothing inside the window
        if (session.model.isEmpty()) session.model = QStringLiteral("unknown");
        usage.lastFiveHourTokens = addCounts(usage.lastFiveHourTokens,
                                             addCounts(session.inputTokens, session.outputTokens));
        usage.totalInputTokens = addCounts(usage.totalInputTokens, session.inputTokens);
        usage.totalOutputTokens = addCounts(usage.totalOutputTokens, session.outputTokens);
        usage.totalCachedTokens = addCounts(usage.totalCachedTokens, session.cachedTokens);
        usage.costTotal += session.cost;
        if (chat.spawned) continue;
        noteActivity(*session.lastActiveAt, session.model);
        ++activeFiles;
        usage.lastFiveHourPrompts = addCounts(usage.lastFiveHourPrompts, session.prompts);
        sessions.push_back(std::move(session));
    }

    usage.sessionsTotal = activeFiles;
    usage.lastFiveHourSessions = activeFiles;
    if (usage.latestProject.isEmpty()) usage.latestProject = QStringLiteral("Gemini CLI");
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
