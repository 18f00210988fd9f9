#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <algorithm>
#include <optional>
#include <string>

#include "core/Clock.h"
#include "core/Iso8601.h"
#include "core/SharedFile.h"
#include "ledger/AgentRecords.h"
#include "ledger/QwenLogs.h"
#include "readers/CliLogParsing.h"
#include "readers/FileWalk.h"
#include "readers/ReaderSupport.h"

namespace qm::ledger {

// Qwen Code (a Gemini CLI fork). Since 0.4.0 each session is a transcript of JSON lines, one
// `assistant` record per model call with the call's usageMetadata; sub-agents write their own
// transcripts beside it; from 0.21 a monthly usage ledger repeats every call of both. Before
// 0.4.0 a session was one JSON document rewritten whole after each change.
namespace qwenlog {
namespace {

namespace dom = simdjson::dom;
using readers::objectAt;
using readers::textAt;
using readers::toQString;

enum class QwenFile { chat, subagent, usage, document };

// What a sub-agent's file or the ledger says when it does not name the model (as Qwen's own
// ledger writes it).
const QString kUnknownModel = QStringLiteral("unknown");

// Files are told apart by name and place: <slug>/subagents/<session>/agent-<id>.jsonl,
// usage/token-usage-YYYY-MM.jsonl, tmp/<hash>/chats/session-*.json, else a chat transcript.
QwenFile kindOf(const QString& path) {
    if (!path.endsWith(QLatin1String(".jsonl"))) return QwenFile::document;
    const QStringList parts = path.split(QLatin1Char('/'));
    const qsizetype n = parts.size();
    if (n >= 2 && parts[n - 2] == QLatin1String("usage") &&
        parts[n - 1].startsWith(QLatin1String("token-usage-"))) {
        return QwenFile::usage;
    }
    if (n >= 3 && parts[n - 3] == QLatin1String("subagents")) return QwenFile::subagent;
    return QwenFile::chat;
}

// The call's token figures as Qwen records them, every one a token count.
struct Figures {
    std::int64_t prompt = 0;  // includes cached
    std::int64_t candidates = 0;
    std::int64_t cached = 0;
    std::int64_t thoughts = 0;
    std::int64_t total = 0;
    bool split = true;  // false when the provider reported only a total
};

// Keys of usageMetadata, of the early documents' `tokens`, and of the usage ledger.
struct FigureKeys {
    std::string_view prompt, candidates, cached, thoughts, total;
};
constexpr FigureKeys kUsageMetadata{"promptTokenCount", "candidatesTokenCount",
                                    "cachedContentTokenCount", "thoughtsTokenCount",
                                    "totalTokenCount"};
constexpr FigureKeys kDocumentTokens{"input", "output", "cached", "thoughts", "total"};
constexpr FigureKeys kLedgerTokens{"inputTokens", "outputTokens", "cachedTokens", "thoughtsTokens",
                                   "totalTokens"};

bool isNumberAt(const dom::object& object, std::string_view key) {
    dom::element value;
    return object.at_key(key).get(value) == simdjson::SUCCESS && value.is_number();
}

// None when a figure is no token count (negative, a fraction, past the bound): the line is
// then skipped and counted as skipped.
std::optional<Figures> figuresOf(const dom::object& usage, const FigureKeys& keys) {
    Figures f;
    for (const auto& [key, out] : {std::pair{keys.prompt, &f.prompt},
                                   {keys.candidates, &f.candidates},
                                   {keys.cached, &f.cached},
                                   {keys.thoughts, &f.thoughts},
                                   {keys.total, &f.total}}) {
        const std::optional<std::int64_t> count = CliLogParsing::tokenCountAt(usage, {key});
        if (!count) return std::nullopt;
        *out = *count;
    }
    // Recent releases leave out prompt and candidates when the provider sent only a total.
    f.split = isNumberAt(usage, keys.prompt) || isNumberAt(usage, keys.candidates) || f.total == 0;
    return f;
}

// Native Gemini models report thoughts apart from the candidates; every other path Qwen
// speaks (OpenAI-compatible, the Responses API, Anthropic) reports completion tokens with the
// reasoning in them.
bool thoughtsApart(const QString& model) {
    return model.startsWith(QLatin1String("gemini"), Qt::CaseInsensitive);
}

// In the index's terms: input holds the cached tokens (Qwen's prompt count already does; a
// cached count above it means the prompt count was missing), output holds reasoning. A call
// known only by its total counts it as input, the side most of an agent's call is.
Counts countsOf(const Figures& f, const QString& model) {
    Counts c;
    c.calls = 1;
    c.cachedInput = f.cached;
    if (!f.split) {
        c.input = std::max(f.total, f.cached);
        return c;
    }
    c.input = std::max(f.prompt, f.cached);
    if (thoughtsApart(model)) {
        c.output = CliLogParsing::addCounts(f.candidates, f.thoughts);
        c.reasoning = f.thoughts;
    } else {
        c.output = f.candidates;
        // Recent releases estimate thoughts from the text when the provider gives none.
        c.reasoning = std::min(f.thoughts, f.candidates);
    }
    return c;
}

TimeMs timeOf(const dom::object& record, std::string_view key, TimeMs fallback) {
    const auto stamp = textAt(record, key);
    return (stamp ? Iso8601::parse(*stamp) : std::nullopt).value_or(fallback);
}

// The first text of a Gemini `Content`'s parts that is no thought.
QString partsText(const dom::object& content) {
    dom::array parts;
    if (content.at_key("parts").get(parts) != simdjson::SUCCESS) return {};
    for (dom::element part : parts) {
        dom::object object;
        if (part.get(object) != simdjson::SUCCESS) continue;
        bool thought = false;
        if (object.at_key("thought").get(thought) == simdjson::SUCCESS && thought) continue;
        if (const auto text = textAt(object, "text"); text && !text->empty()) {
            // 4 KB of UTF-8 hold more than the characters a task is cut to.
            return toQString(text->substr(0, 4096));
        }
    }
    return {};
}

// One read of a session's records (a transcript's lines, or an early document's messages).
class ChatLines {
public:
    ChatLines(FileEntry& entry, AgentSession& session, QString agentModel, TimeMs fallbackAt)
        : entry_(entry),
          session_(session),
          agentModel_(std::move(agentModel)),
          lastAt_(fallbackAt) {}

    // One line of a transcript.
    void take(const dom::object& record);
    // One call at `at` (none: figures that are no token counts), and one prompt the person typed.
    void call(TimeMs at, QString model, const std::optional<Figures>& figures);
    void prompt(TimeMs at, const QString& text);

private:
    void userRecord(const dom::object& record);

    FileEntry& entry_;
    AgentSession& session_;
    QString agentModel_;  // a sub-agent's model, from its .meta.json
    TimeMs lastAt_;
};

void ChatLines::take(const dom::object& record) {
    lastAt_ = timeOf(record, "timestamp", lastAt_);
    if (entry_.session.isEmpty()) {
        if (const auto id = textAt(record, "sessionId"); id && !id->empty())
            entry_.session = toQString(*id);
    }
    if (entry_.project.isEmpty()) {
        if (const auto cwd = textAt(record, "cwd"); cwd && !cwd->empty())
            entry_.project = CliLogParsing::projectName(toQString(*cwd));
    }
    // A forked session starts with copies of its source's records: counted where they were made.
    dom::element forkedFrom;
    if (record.at_key("forkedFrom").get(forkedFrom) == simdjson::SUCCESS && !forkedFrom.is_null())
        return;
    const std::string_view type = textAt(record, "type").value_or("");
    // Only the assistant records: the ui_telemetry system records repeat the same calls.
    if (type == "assistant") {
        if (const auto usage = objectAt(record, "usageMetadata")) {
            call(lastAt_, toQString(textAt(record, "model").value_or("")),
                 figuresOf(*usage, kUsageMetadata));
        }
    } else if (type == "user") {
        userRecord(record);
    }
}

void ChatLines::call(TimeMs at, QString model, const std::optional<Figures>& figures) {
    if (!figures) {
        ++entry_.skippedLines;
        return;
    }
    if (model.isEmpty()) model = agentModel_.isEmpty() ? kUnknownModel : agentModel_;
    const Counts counts = countsOf(*figures, model);
    // An aborted stream may report nothing: no usage to count.
    if (counts.input == 0 && counts.output == 0) return;
    session_.addCall(at, model, counts);
}

// What a person typed: 0.24 marks it `provenance:"real_user"`; earlier releases mark the
// user-role records nobody typed only by their subtype.
bool typedByPerson(const dom::object& record) {
    if (const auto provenance = textAt(record, "provenance")) return *provenance == "real_user";
    const std::string_view subtype = textAt(record, "subtype").value_or("");
    return subtype != "cron" && subtype != "notification";
}

void ChatLines::userRecord(const dom::object& record) {
    if (!typedByPerson(record)) return;
    // The text as typed, before hooks added context, when the record keeps it.
    QString text;
    if (const auto payload = objectAt(record, "systemPayload")) {
        text = toQString(textAt(*payload, "displayText").value_or("").substr(0, 4096));
    }
    if (text.trimmed().isEmpty()) {
        if (const auto message = objectAt(record, "message")) text = partsText(*message);
    }
    prompt(lastAt_, text);
}

// A prompt counts under the model of the session's last call before it (none for the opening
// prompt): the records do not say which model a prompt went to, and a later answer may be read
// only by a later update.
void ChatLines::prompt(TimeMs at, const QString& text) {
    if (entry_.subordinate || !CliLogParsing::isRealUserPrompt(text)) return;
    session_.addPrompt(at, session_.facts().model, text);
}

// A sub-agent's transcript names no model; its .meta.json does (`model` for agents run in the
// background, `persistedCliFlags.model` for all).
QString subagentModel(const QString& transcript, ParseScratch& scratch) {
    const QString meta =
        transcript.chopped(int(sizeof(".jsonl") - 1)) + QLatin1String(".meta.json");
    const std::optional<QByteArray> bytes = readRegularFile(meta, 1 << 20);
    dom::object root;
    if (!bytes || scratch.dom.parse(bytes->constData(), std::size_t(bytes->size())).get(root) !=
                      simdjson::SUCCESS) {
        return {};
    }
    if (const auto model = textAt(root, "model"); model && !model->empty())
        return toQString(*model);
    if (const auto flags = objectAt(root, "persistedCliFlags")) {
        if (const auto model = textAt(*flags, "model"); model && !model->empty())
            return toQString(*model);
    }
    return {};
}

void readChat(FileEntry& entry, const OpenLog& log, ParseScratch& scratch, AgentSession& session) {
    entry.subordinate = kindOf(entry.path) == QwenFile::subagent;
    const QString agentModel = entry.subordinate ? subagentModel(entry.path, scratch) : QString();
    ChatLines lines(entry, session, agentModel, log.modifiedAt);
    const std::int64_t done = scratch.tail.read(
        log.fd, entry.offset, log.size,
        [&](std::string_view line) {
            dom::object record;
            if (scratch.dom.parse(line.data(), line.size(), false).get(record) == simdjson::SUCCESS)
                lines.take(record);
        },
        log.progress);
    if (done >= 0) entry.offset = done;
    // The records name the session (a sub-agent's, its parent's); else its file or folder does.
    if (entry.session.isEmpty()) {
        const QFileInfo info(entry.path);
        entry.session = entry.subordinate ? info.dir().dirName() : info.completeBaseName();
    }
}

// Which sessions have transcripts beside a usage ledger: the ledger's folder and the projects'
// folder share one runtime folder (<runtime>/usage, <runtime>/projects/<slug>/chats). The
// folders are listed once a read, not looked up once a line.
class TranscriptLookup {
public:
    explicit TranscriptLookup(const QString& ledgerPath)
        : projects_(QDir::cleanPath(QFileInfo(ledgerPath).path() + QLatin1String("/../projects"))) {
    }

    // Whether a transcript holds the session's calls: its chat (or archived chat) for the
    // session's own calls, its sub-agents' folder for theirs.
    bool holds(const QString& sessionId, bool subagent);

private:
    void list();

    QString projects_;
    bool listed_ = false;
    QSet<QString> chats_;      // session ids with a chat or an archived chat
    QSet<QString> subagents_;  // sub-agents' folder names
};

// How Qwen names a sub-agents' folder after the session.
QString sanitizedId(QString id) {
    for (QChar& c : id) {
        const char16_t u = c.unicode();
        const bool kept = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                          (u >= '0' && u <= '9') || u == '_' || u == '-';
        if (!kept) c = QLatin1Char('_');
    }
    return id;
}

void TranscriptLookup::list() {
    listed_ = true;
    const QStringList slugs =
        QDir(projects_).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString& slug : slugs) {
        const QString project = projects_ + QLatin1Char('/') + slug;
        for (const QString& folder :
             {project + QLatin1String("/chats"), project + QLatin1String("/chats/archive")}) {
            for (const QString& name :
                 QDir(folder).entryList({QStringLiteral("*.jsonl")}, QDir::Files | QDir::Hidden))
                chats_.insert(name.chopped(6));
        }
        for (const QString& name : QDir(project + QLatin1String("/subagents"))
                                       .entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden))
            subagents_.insert(name);
    }
}

bool TranscriptLookup::holds(const QString& sessionId, bool subagent) {
    // An id no file can be named after has no transcript.
    if (sessionId.isEmpty() || sessionId == QLatin1String(".") ||
        sessionId == QLatin1String("..") || sessionId.contains(QLatin1Char('/')) ||
        sessionId.contains(QLatin1Char('\\')) || sessionId.contains(QChar(0))) {
        return false;
    }
    if (!listed_) list();
    return subagent ? subagents_.contains(sanitizedId(sessionId)) : chats_.contains(sessionId);
}

// Qwen's own check of a ledger line (isTokenUsageRecord): a line that fails it is no record
// this version reads, and is passed over as Qwen passes it over.
bool isLedgerRecord(const dom::object& record) {
    double version = 0;
    if (record.at_key("schemaVersion").get(version) != simdjson::SUCCESS || version != 1) {
        return false;
    }
    for (std::string_view key : {"id", "sessionId", "timestamp", "localDate", "localMonth", "model",
                                 "authType", "source"}) {
        if (!textAt(record, key)) return false;
    }
    for (std::string_view key : {"inputTokens", "outputTokens", "cachedTokens", "thoughtsTokens",
                                 "totalTokens", "apiDurationMs"}) {
        if (!isNumberAt(record, key)) return false;
    }
    return true;
}

// The usage ledger (usage/token-usage-YYYY-MM.jsonl, 0.21 and later) has a line for every
// call of every session, sub-agents' included, and nothing else. The transcripts hold the same
// calls with the session's project and prompts, so a line counts only when no transcript holds
// its session: chat recording was off, or the chats were deleted before the line was read.
// Whether one does is looked up on disk when the line is read, each call thus counted once.
void readLedger(FileEntry& entry, const OpenLog& log, ParseScratch& scratch,
                AgentSession& session) {
    entry.session = QFileInfo(entry.path).completeBaseName();
    entry.project = CliLogParsing::projectName(QString());
    TranscriptLookup transcripts(entry.path);
    const std::int64_t done = scratch.tail.read(
        log.fd, entry.offset, log.size,
        [&](std::string_view line) {
            dom::object record;
            if (scratch.dom.parse(line.data(), line.size(), false).get(record) !=
                    simdjson::SUCCESS ||
                !isLedgerRecord(record)) {
                return;
            }
            const bool subagent =
                textAt(record, "source") != std::optional<std::string_view>("main");
            if (transcripts.holds(toQString(*textAt(record, "sessionId")), subagent)) return;
            const std::optional<Figures> figures = figuresOf(record, kLedgerTokens);
            if (!figures) {
                ++entry.skippedLines;
                return;
            }
            QString model = toQString(*textAt(record, "model"));
            if (model.isEmpty()) model = kUnknownModel;
            const Counts counts = countsOf(*figures, model);
            if (counts.input == 0 && counts.output == 0) return;
            session.addCall(timeOf(record, "timestamp", log.modifiedAt), model, counts);
        },
        log.progress);
    if (done >= 0) entry.offset = done;
}

// Larger early sessions are left unread: one document must be held whole to be parsed.
constexpr std::int64_t kMaxDocumentBytes = 256 << 20;

// A message's text: `content` as text, or the first text of its parts.
QString contentText(const dom::object& message) {
    dom::element content;
    if (message.at_key("content").get(content) != simdjson::SUCCESS) return {};
    std::string_view text;
    if (content.get(text) == simdjson::SUCCESS) return toQString(text.substr(0, 4096));
    dom::array parts;
    if (content.get(parts) != simdjson::SUCCESS) return {};
    for (dom::element part : parts) {
        dom::object object;
        if (part.get(object) != simdjson::SUCCESS) continue;
        if (const auto partText = textAt(object, "text"); partText && !partText->empty())
            return toQString(partText->substr(0, 4096));
    }
    return {};
}

// Before 0.4.0: tmp/<hash>/chats/session-*.json, one document rewritten whole after every
// change ({sessionId, projectHash, startTime, messages:[…]}); model turns are `type:"qwen"`
// with `tokens` taken from the call's usageMetadata, prompts `type:"user"`. No working folder.
void readDocument(FileEntry& entry, const OpenLog& log, ParseScratch& scratch,
                  AgentSession& session) {
    if (log.progress) log.progress(log.size);
    entry.offset = log.size;
    entry.session = QFileInfo(entry.path).completeBaseName();
    entry.project = CliLogParsing::projectName(QString());
    if (log.size <= 0 || log.size > kMaxDocumentBytes) return;
    std::string bytes(std::size_t(log.size) + simdjson::SIMDJSON_PADDING, '\0');
    dom::object root;
    dom::array messages;
    if (::pread(log.fd, bytes.data(), std::size_t(log.size), 0) != log.size ||
        scratch.dom.parse(bytes.data(), std::size_t(log.size), false).get(root) !=
            simdjson::SUCCESS ||
        root.at_key("messages").get(messages) != simdjson::SUCCESS) {
        return;
    }
    if (const auto id = textAt(root, "sessionId"); id && !id->empty())
        entry.session = toQString(*id);
    ChatLines lines(entry, session, QString(), timeOf(root, "startTime", log.modifiedAt));
    TimeMs lastAt = timeOf(root, "startTime", log.modifiedAt);
    for (dom::element item : messages) {
        dom::object message;
        if (item.get(message) != simdjson::SUCCESS) continue;
        lastAt = timeOf(message, "timestamp", lastAt);
        const std::string_view type = textAt(message, "type").value_or("");
        if (type == "user") {
            lines.prompt(lastAt, contentText(message));
        } else if (const auto tokens = objectAt(message, "tokens"); tokens && type == "qwen") {
            lines.call(lastAt, toQString(textAt(message, "model").value_or("")),
                       figuresOf(*tokens, kDocumentTokens));
        }
    }
}

// --- Where the logs are.

// A folder as Qwen resolves one: "~" and "~/…" under the home. Any other relative path
// resolves against a working folder not known here, so it names none.
QString resolvedFolder(const QString& value, const QString& home) {
    if (value == QLatin1String("~")) return home;
    if (value.startsWith(QLatin1String("~/"))) return QDir(home).filePath(value.mid(2));
    if (QDir::isAbsolutePath(value)) return QDir::cleanPath(value);
    return {};
}

// A .env value: inside its quotes, or up to a comment.
QString envValue(QByteArray value) {
    value = value.trimmed();
    const char quote = value.isEmpty() ? 0 : value.front();
    if ((quote == '"' || quote == '\'' || quote == '`') && value.size() >= 2 &&
        value.back() == quote) {
        return QString::fromUtf8(value.mid(1, value.size() - 2));
    }
    if (const qsizetype comment = value.indexOf(" #"); comment >= 0) value.truncate(comment);
    return QString::fromUtf8(value.trimmed());
}

// From 0.21 QWEN_HOME may be set in <home>/.qwen/.env or else <home>/.env (as `QWEN_HOME=…`,
// `export QWEN_HOME=…` or `QWEN_HOME: …`), when the environment does not set it.
QString homeFromEnvFiles(const QString& home) {
    for (const char* name : {".qwen/.env", ".env"}) {
        const std::optional<QByteArray> bytes =
            readRegularFile(QDir(home).filePath(QLatin1String(name)), 1 << 20);
        if (!bytes) continue;
        QString value;
        for (QByteArray line : bytes->split('\n')) {
            line = line.trimmed();
            if (line.startsWith("\xEF\xBB\xBF")) line.remove(0, 3);
            if (line.startsWith("export ")) line = line.mid(7).trimmed();
            if (!line.startsWith("QWEN_HOME")) continue;
            const QByteArray rest = line.mid(9).trimmed();
            if (rest.startsWith('=') || rest.startsWith(':')) value = envValue(rest.mid(1));
        }
        if (!value.isEmpty()) return value;
    }
    return {};
}

std::vector<std::string_view> foldersOf(std::string_view inside) {
    std::vector<std::string_view> folders;
    for (std::size_t start = 0; start < inside.size();) {
        const std::size_t slash = inside.find('/', start);
        const std::size_t stop = slash == std::string_view::npos ? inside.size() : slash;
        if (stop > start) folders.push_back(inside.substr(start, stop - start));
        start = stop + 1;
    }
    if (!folders.empty()) folders.pop_back();  // the file's own name
    return folders;
}

// <id>.jsonl, never the sidecars beside it (<id>.ledger.jsonl is a prompt ledger).
bool isTranscriptName(std::string_view name) {
    return name.size() > 6 && name.ends_with(".jsonl") && !name.ends_with(".ledger.jsonl");
}

// Inside projects/: <slug>/chats/<id>.jsonl, <slug>/chats/archive/<id>.jsonl and
// <slug>/subagents/<session>/agent-<id>.jsonl.
bool isProjectLog(std::string_view inside, std::string_view name) {
    const std::vector<std::string_view> folders = foldersOf(inside);
    if (folders.size() == 2) return folders[1] == "chats" && isTranscriptName(name);
    if (folders.size() != 3) return false;
    if (folders[1] == "chats") return folders[2] == "archive" && isTranscriptName(name);
    return folders[1] == "subagents" && name.starts_with("agent-") && name.ends_with(".jsonl");
}

// token-usage-YYYY-MM.jsonl
bool isUsageLedgerName(std::string_view name) {
    constexpr std::string_view prefix = "token-usage-";
    if (name.size() != prefix.size() + 13 || !name.starts_with(prefix) || !name.ends_with(".jsonl"))
        return false;
    const std::string_view month = name.substr(prefix.size(), 7);
    return std::all_of(month.begin(), month.end(), [i = 0](char c) mutable {
        return i++ == 4 ? c == '-' : c >= '0' && c <= '9';
    });
}

template <typename Accept>
void collectQwen(const QString& root, int depth, Accept accept, std::vector<FoundLog>& found) {
    const std::size_t rootLength = std::size_t(QFile::encodeName(root).size());
    readers::walkRegularFiles(
        root, depth, [&](const std::string& file, std::string_view name, const struct stat& st) {
            if (accept(std::string_view(file).substr(rootLength), name))
                found.push_back({file, ProviderKind::qwenCode, identityOf(st)});
        });
}

}  // namespace
}  // namespace qwenlog

QStringList qwenDirectories(const QString& home) {
    using qwenlog::resolvedFolder;
    const bool realHome = QDir::cleanPath(home) == QDir::cleanPath(QDir::homePath());
    const QString configured = realHome && qEnvironmentVariableIsSet("QWEN_HOME")
                                   ? qEnvironmentVariable("QWEN_HOME")
                                   : qwenlog::homeFromEnvFiles(home);
    QString qwenHome = configured.isEmpty() ? QString() : resolvedFolder(configured, home);
    if (qwenHome.isEmpty()) qwenHome = QDir(home).filePath(QStringLiteral(".qwen"));
    QStringList folders{qwenHome};
    if (realHome) {
        const QString runtime = resolvedFolder(qEnvironmentVariable("QWEN_RUNTIME_DIR"), home);
        if (!runtime.isEmpty() && !folders.contains(runtime)) folders.append(runtime);
    }
    return folders;
}

void discoverQwenLogs(const QStringList& directories, std::vector<FoundLog>& found) {
    for (const QString& directory : distinctFolders(directories)) {
        const QDir root(directory);
        qwenlog::collectQwen(root.filePath(QStringLiteral("projects")), 3, qwenlog::isProjectLog,
                             found);
        qwenlog::collectQwen(
            root.filePath(QStringLiteral("usage")), 0,
            [](std::string_view, std::string_view name) {
                return qwenlog::isUsageLedgerName(name);
            },
            found);
        // The earliest releases' sessions: tmp/<hash>/chats/session-*.json. The rest of tmp/
        // (tool output, checkpoints) is not walked.
        const QDir tmp(root.filePath(QStringLiteral("tmp")));
        for (const QString& hash :
             tmp.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
            qwenlog::collectQwen(
                tmp.filePath(hash + QLatin1String("/chats")), 0,
                [](std::string_view, std::string_view name) {
                    return name.starts_with("session-") && name.ends_with(".json");
                },
                found);
        }
    }
}

bool qwenResumable(const QString& path) {
    return qwenlog::kindOf(path) != qwenlog::QwenFile::document;
}

void readQwen(FileEntry& entry, const OpenLog& log, ParseScratch& scratch) {
    using qwenlog::QwenFile;
    const QwenFile kind = qwenlog::kindOf(entry.path);
    if (entry.offset == 0 || kind == QwenFile::document) entry.restart();
    AgentSession session(entry);
    switch (kind) {
        case QwenFile::chat:
        case QwenFile::subagent:
            qwenlog::readChat(entry, log, scratch, session);
            break;
        case QwenFile::usage:
            qwenlog::readLedger(entry, log, scratch, session);
            break;
        case QwenFile::document:
            qwenlog::readDocument(entry, log, scratch, session);
            break;
    }
    session.finish();
    entry.pruneRecent(systemNow() - kRecentSpan);
}

}  // namespace qm::ledger
