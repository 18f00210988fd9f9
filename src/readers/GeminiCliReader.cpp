#include "readers/GeminiCliReader.h"

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

// The usage a log record reports, into `event`; false when a count breaks the rule for figures
// from outside (the record is then no usage).
bool readEventUsage(const dom::object& object, GeminiEvent& event, std::int64_t& recordTotal) {
    using CliLogParsing::tokenCountAt;
    for (std::string_view key : {"usageMetadata", "usage", "token_usage", "metadata"}) {
        const auto usage = objectAt(object, key);
        if (!usage) continue;
        const auto input = tokenCountAt(
            *usage, {"promptTokenCount", "input_tokens", "prompt_tokens", "total_input_tokens"});
        const auto output = tokenCountAt(*usage, {"candidatesTokenCount", "output_tokens",
                                                  "completion_tokens", "total_output_tokens"});
        const auto total = tokenCountAt(*usage, {"totalTokenCount", "total_tokens", "tokens"});
        if (!input || !output || !total || !UsageFigures::isCallTokens({*input, *output}))
            return false;
        event.inputTokens = *input;
        event.outputTokens = *output;
        recordTotal = *total;
        return true;
    }
    return true;
}

std::optional<GeminiEvent> parseEvent(const dom::object& object, TimeMs modifiedAt, TimeMs since) {
    GeminiEvent event;
    const auto stamp = firstText(object, {"timestamp", "created_at", "time", "date"});
    event.eventAt = (stamp ? CliLogParsing::date(*stamp) : std::nullopt).value_or(modifiedAt);
    if (event.eventAt < since) return std::nullopt;

    std::int64_t recordTotal = 0;
    if (!readEventUsage(object, event, recordTotal)) return std::nullopt;
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
    std::vector<GeminiEvent> parse(const QString& path, TimeMs modifiedAt, TimeMs since);

    // A chat recording: JSON lines (current) or one document with a "messages" list.
    std::vector<GeminiCliReader::ChatItem> chatItems(const QString& path, TimeMs modifiedAt);

    // logs.json: a list of prompts as typed. False when the file is not such a list.
    bool parsePromptLog(const QString& path, TimeMs modifiedAt, std::vector<LoggedPrompt>& out);

private:
    struct Loaded {
        simdjson::dom::element root;
        bool ok = false;
        template <typename T>
        bool get(T& out) const {
            return ok && root.get(out) == simdjson::SUCCESS;
        }
    };
    Loaded loadDocument(const QString& path);

    CliLogParsing::TextFile file_;
    CliLogParsing::LineStream stream_;
    dom::parser parser_;
};

std::vector<GeminiEvent> GeminiFileParser::parse(const QString& path, TimeMs modifiedAt,
                                                 TimeMs since) {
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

std::vector<GeminiCliReader::ChatItem> GeminiFileParser::chatItems(const QString& path,
                                                                   TimeMs modifiedAt) {
    std::vector<GeminiCliReader::ChatItem> items;
    if (path.endsWith(QLatin1String(".json"))) {
        dom::object root;
        if (!loadDocument(path).get(root)) return items;
        GeminiCliReader::addChatItem(root, modifiedAt, items);
        dom::array messages;
        if (root.at_key("messages").get(messages) != simdjson::SUCCESS) return items;
        for (dom::element item : messages) {
            dom::object object;
            if (item.get(object) == simdjson::SUCCESS) {
                GeminiCliReader::addChatItem(object, modifiedAt, items);
            }
        }
        return items;
    }
    stream_.forEachLine(path, [&](std::string_view line) {
        dom::object object;
        if (parser_.parse(line.data(), line.size(), false).get(object) != simdjson::SUCCESS) {
            return;
        }
        GeminiCliReader::addChatItem(object, modifiedAt, items);
    });
    return items;
}

void applyChat(const std::vector<GeminiCliReader::ChatItem>& items, const QString& path,
               QHash<QString, ChatSession>& sessions, std::vector<QString>& order,
               const QString& project, bool spawned) {
    QString key = path;
    for (const GeminiCliReader::ChatItem& item : items) {
        if (item.namesSession) {
            key = item.id;  // the same session may have been written by two versions
            continue;
        }
        auto found = sessions.find(key);
        if (found == sessions.end()) {
            found = sessions.insert(key, ChatSession{key, project, spawned, {}, {}});
            order.push_back(key);
        }
        found->put(item.id, item.record);
    }
}

bool GeminiFileParser::parsePromptLog(const QString& path, TimeMs modifiedAt,
                                      std::vector<LoggedPrompt>& out) {
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

GeminiFileParser::Loaded GeminiFileParser::loadDocument(const QString& path) {
    Loaded loaded;
    if (!file_.load(path, CliLogParsing::TextFile::kNoLimit)) return loaded;
    const std::string_view text = file_.text();
    loaded.ok =
        parser_.parse(text.data(), text.size(), false).get(loaded.root) == simdjson::SUCCESS;
    return loaded;
}

}  // namespace

void GeminiCliReader::addChatItem(const simdjson::dom::object& object, TimeMs modifiedAt,
                                  std::vector<ChatItem>& items) {
    if (auto id = textAt(object, "sessionId"); id && !id->empty()) {
        items.push_back({true, toQString(*id), {}});
        return;
    }
    if (auto record = chatRecord(object, modifiedAt)) {
        items.push_back({false, std::move(record->first), std::move(record->second)});
    }
}

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
    // In the order of the paths' bytes rather than of the directory listing, so that sessions
    // and models that tie come out the same everywhere.
    std::sort(files.begin(), files.end(), [](const QString& a, const QString& b) {
        return QFile::encodeName(a) < QFile::encodeName(b);
    });
    return files;
}

namespace {

// The summary as the files are read: sessions, models and the latest activity and task.
class GeminiSummary {
public:
    GeminiSummary(ProviderUsage& usage, TimeMs since) : usage_(usage), since_(since) {}

    void addEvents(const QString& path, const std::vector<GeminiEvent>& events);
    // Prompts of logs.json count only for sessions without a chat recording (older versions);
    // otherwise the recording already holds them.
    void addLoggedPrompts(const std::vector<LoggedPrompt>& logged,
                          QHash<QString, ChatSession>& chats,
                          std::vector<QString>& chatOrder) const;
    void addChat(const ChatSession& chat);
    void finish();

private:
    // The latest task is what the person last asked, never a reply or a status line.
    void notePrompt(TimeMs at, const QString& task, const QString& project);
    void noteActivity(TimeMs at, const QString& model);
    void addChatRecord(SessionUsage& session, const ChatRecord& record,
                       QHash<QString, bool>& modelsSeen);

    ProviderUsage& usage_;
    TimeMs since_;
    readers::ModelTotals models_;
    std::vector<SessionUsage> sessions_;
    std::int64_t activeFiles_ = 0;
    std::optional<TimeMs> latestPromptAt_;
};

void GeminiSummary::notePrompt(TimeMs at, const QString& task, const QString& project) {
    if (task.isEmpty() || (latestPromptAt_ && at < *latestPromptAt_)) return;
    latestPromptAt_ = at;
    usage_.latestTask = task;
    usage_.latestProject = project;
}

void GeminiSummary::noteActivity(TimeMs at, const QString& model) {
    if (usage_.latestActivityAt && at <= *usage_.latestActivityAt) return;
    usage_.latestActivityAt = at;
    usage_.latestModel = model;
}

void GeminiSummary::addEvents(const QString& path, const std::vector<GeminiEvent>& events) {
    using CliLogParsing::addCounts;
    if (!events.empty()) ++activeFiles_;
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
        session.cost =
            UsagePricing::geminiCost(session.model, event.inputTokens, 0, event.outputTokens, 0);

        ModelUsage& model = models_.entry(session.model);
        model.sessions += 1;
        model.inputTokens = addCounts(model.inputTokens, event.inputTokens);
        model.outputTokens = addCounts(model.outputTokens, event.outputTokens);
        model.prompts = addCounts(model.prompts, event.promptCount);
        model.cost += session.cost;

        usage_.lastFiveHourPrompts = addCounts(usage_.lastFiveHourPrompts, event.promptCount);
        usage_.lastFiveHourTokens = addCounts(usage_.lastFiveHourTokens, event.totalTokens);
        usage_.totalInputTokens = addCounts(usage_.totalInputTokens, event.inputTokens);
        usage_.totalOutputTokens = addCounts(usage_.totalOutputTokens, event.outputTokens);
        usage_.costTotal += session.cost;
        noteActivity(event.eventAt, session.model);
        if (event.promptCount > 0) notePrompt(event.eventAt, session.task, session.project);
        sessions_.push_back(std::move(session));
    }
}

void GeminiSummary::addLoggedPrompts(const std::vector<LoggedPrompt>& logged,
                                     QHash<QString, ChatSession>& chats,
                                     std::vector<QString>& chatOrder) const {
    for (const LoggedPrompt& prompt : logged) {
        if (prompt.at < since_ || chats.contains(prompt.sessionId)) continue;
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
}

void GeminiSummary::addChatRecord(SessionUsage& session, const ChatRecord& record,
                                  QHash<QString, bool>& modelsSeen) {
    using CliLogParsing::addCounts;
    const QString name = record.model.isEmpty() ? QStringLiteral("unknown") : record.model;
    const double cost =
        UsagePricing::geminiCost(name, record.input, record.cached, record.output, record.thoughts);
    // Thinking is output the model produced and is billed as such.
    const std::int64_t output = addCounts(record.output, record.thoughts);
    session.model = name;
    session.inputTokens = addCounts(session.inputTokens, record.input);
    session.cachedTokens = addCounts(session.cachedTokens, record.cached);
    session.outputTokens = addCounts(session.outputTokens, output);
    session.cost += cost;
    ModelUsage& model = models_.entry(name);
    if (!modelsSeen.contains(name)) {
        modelsSeen.insert(name, true);
        model.sessions += 1;
    }
    model.inputTokens = addCounts(model.inputTokens, record.input);
    model.cachedTokens = addCounts(model.cachedTokens, record.cached);
    model.outputTokens = addCounts(model.outputTokens, output);
    model.cost += cost;
}

void GeminiSummary::addChat(const ChatSession& chat) {
    using CliLogParsing::addCounts;
    SessionUsage session;
    session.id = chat.key;
    session.provider = ProviderKind::gemini;
    session.project = chat.project;
    QHash<QString, bool> modelsSeen;
    for (const ChatRecord& record : chat.records) {
        if (record.at < since_) continue;  // every figure describes the window
        if (!session.startedAt || record.at < *session.startedAt) session.startedAt = record.at;
        if (!session.lastActiveAt || record.at > *session.lastActiveAt) {
            session.lastActiveAt = record.at;
        }
        if (!record.isPrompt) {
            addChatRecord(session, record, modelsSeen);
            continue;
        }
        if (chat.spawned) continue;  // the parent's instruction, not a person's prompt
        ++session.prompts;
        const QString task = CliLogParsing::shortenedTask(record.prompt);
        if (session.task.isEmpty()) session.task = task;
        notePrompt(record.at, task, chat.project);
    }
    if (!session.lastActiveAt) return;  // nothing inside the window
    if (session.model.isEmpty()) session.model = QStringLiteral("unknown");
    usage_.lastFiveHourTokens =
        addCounts(usage_.lastFiveHourTokens, addCounts(session.inputTokens, session.outputTokens));
    usage_.totalInputTokens = addCounts(usage_.totalInputTokens, session.inputTokens);
    usage_.totalOutputTokens = addCounts(usage_.totalOutputTokens, session.outputTokens);
    usage_.totalCachedTokens = addCounts(usage_.totalCachedTokens, session.cachedTokens);
    usage_.costTotal += session.cost;
    if (chat.spawned) return;
    noteActivity(*session.lastActiveAt, session.model);
    ++activeFiles_;
    usage_.lastFiveHourPrompts = addCounts(usage_.lastFiveHourPrompts, session.prompts);
    sessions_.push_back(std::move(session));
}

void GeminiSummary::finish() {
    usage_.sessionsTotal = activeFiles_;
    usage_.lastFiveHourSessions = activeFiles_;
    if (usage_.latestProject.isEmpty()) usage_.latestProject = QStringLiteral("Gemini CLI");
    std::tie(usage_.statusText, usage_.statusLevel) =
        CliLogParsing::status(usage_.latestActivityAt, systemNow());
    usage_.models = models_.sortedByTokens();
    usage_.sessions = readers::latestSessions(std::move(sessions_));
    if (activeFiles_ == 0) {
        usage_.warnings = {QStringLiteral("No recent Gemini CLI usage records were detected.")};
    }
}

}  // namespace

ProviderUsage GeminiCliReader::readUsageSync(TimeMs since) const {
    return summarize(since, {});
}

ProviderUsage GeminiCliReader::summarize(TimeMs since, const ChatSource& chatOf) const {
    ProviderUsage usage = ProviderUsage::placeholder(ProviderKind::gemini);
    const bool exists = QFileInfo(geminiDirectory_).isDir();
    usage.isAuthenticated = exists && hasAuthHint();
    usage.dataSourceLabel = QStringLiteral("Best-effort Gemini CLI scan");
    usage.dataSourceDetail = geminiDirectory_;
    if (!exists) {
        usage.warnings = {QStringLiteral("Gemini directory was not found.")};
        return usage;
    }

    GeminiSummary summary(usage, since);
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
            std::optional<std::vector<ChatItem>> items;
            if (chatOf) items = chatOf(path);
            if (!items) items = parser.chatItems(path, *modifiedAt);
            applyChat(*items, path, chats, chatOrder, projectOf(info), isSpawnedAgent(info));
            continue;
        }
        if (kind == FileKind::promptLog && parser.parsePromptLog(path, *modifiedAt, logged)) {
            continue;
        }
        summary.addEvents(path, parser.parse(path, *modifiedAt, since));
    }
    summary.addLoggedPrompts(logged, chats, chatOrder);
    for (const QString& key : chatOrder) summary.addChat(chats[key]);
    summary.finish();
    return usage;
}

}  // namespace qm
