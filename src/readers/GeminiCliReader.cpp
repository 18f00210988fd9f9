#include "readers/GeminiCliReader.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <optional>

#include "core/Clock.h"
#include "core/Pricing.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

namespace qm {
namespace {

using namespace GeminiChat;
using CliLogParsing::addCounts;

// Only names are looked at: a credential file is never opened.
bool hasCredentialFile(const QString& directory) {
    QDirIterator it(directory,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        if (!readers::isRegularFile(info)) continue;
        const QString name = info.fileName().toLower();
        for (const char* marker : {"auth", "oauth", "credential", "token"}) {
            if (name.contains(QLatin1String(marker))) return true;
        }
    }
    return false;
}

}  // namespace

// The summary as the files are added: sessions, models and the latest activity and task.
struct GeminiCliReader::Summary::State {
    ProviderUsage usage = ProviderUsage::placeholder(ProviderKind::gemini);
    TimeMs since = 0;
    bool missing = false;
    readers::ModelTotals models;
    std::vector<SessionUsage> sessions;
    std::int64_t activeFiles = 0;
    std::optional<TimeMs> latestPromptAt;
    // Chat sessions by key, in order of first appearance; their prompts hold their tasks.
    QHash<QString, ChatSession> chats;
    std::vector<QString> chatOrder;
    std::vector<LoggedPrompt> logged;

    // The latest task is what the person last asked, never a reply or a status line.
    void notePrompt(TimeMs at, const QString& task, const QString& project);
    void noteActivity(TimeMs at, const QString& model);
    void addLoggedPrompts();
    void addChatRecord(SessionUsage& session, const ChatRecord& record,
                       QHash<QString, bool>& modelsSeen);
    void addChat(const ChatSession& chat);
};

void GeminiCliReader::Summary::State::notePrompt(TimeMs at, const QString& task,
                                                 const QString& project) {
    if (task.isEmpty() || (latestPromptAt && at < *latestPromptAt)) return;
    latestPromptAt = at;
    usage.latestTask = task;
    usage.latestProject = project;
}

void GeminiCliReader::Summary::State::noteActivity(TimeMs at, const QString& model) {
    if (usage.latestActivityAt && at <= *usage.latestActivityAt) return;
    usage.latestActivityAt = at;
    usage.latestModel = model;
}

// Prompts of logs.json count only for sessions without a chat recording (older versions);
// otherwise the recording already holds them.
void GeminiCliReader::Summary::State::addLoggedPrompts() {
    for (const LoggedPrompt& prompt : logged) {
        if (prompt.at < since || chats.contains(prompt.sessionId)) continue;
        const QString key = QStringLiteral("log:") + prompt.sessionId;
        if (!chats.contains(key)) chatOrder.push_back(key);
        ChatRecord record;
        record.at = prompt.at;
        record.isPrompt = true;
        record.prompt = prompt.task;
        ChatSession& session = chats[key];
        if (session.key.isEmpty())
            session = ChatSession{key, QStringLiteral("Gemini CLI"), false, {}, {}};
        session.put({}, std::move(record));
    }
}

void GeminiCliReader::Summary::State::addChatRecord(SessionUsage& session, const ChatRecord& record,
                                                    QHash<QString, bool>& modelsSeen) {
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

void GeminiCliReader::Summary::State::addChat(const ChatSession& chat) {
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
        if (!record.isPrompt) {
            addChatRecord(session, record, modelsSeen);
            continue;
        }
        if (chat.spawned) continue;  // the parent's instruction, not a person's prompt
        ++session.prompts;
        if (session.task.isEmpty()) session.task = record.prompt;
        notePrompt(record.at, record.prompt, chat.project);
    }
    if (!session.lastActiveAt) return;  // nothing inside the window
    if (session.model.isEmpty()) session.model = QStringLiteral("unknown");
    usage.lastFiveHourTokens =
        addCounts(usage.lastFiveHourTokens, addCounts(session.inputTokens, session.outputTokens));
    usage.totalInputTokens = addCounts(usage.totalInputTokens, session.inputTokens);
    usage.totalOutputTokens = addCounts(usage.totalOutputTokens, session.outputTokens);
    usage.totalCachedTokens = addCounts(usage.totalCachedTokens, session.cachedTokens);
    usage.costTotal += session.cost;
    if (chat.spawned) return;
    noteActivity(*session.lastActiveAt, session.model);
    ++activeFiles;
    usage.lastFiveHourPrompts = addCounts(usage.lastFiveHourPrompts, session.prompts);
    sessions.push_back(std::move(session));
}

GeminiCliReader::Summary::Summary(const QString& geminiDirectory, TimeMs since)
    : state_(std::make_unique<State>()) {
    ProviderUsage& usage = state_->usage;
    state_->since = since;
    state_->missing = !QFileInfo(geminiDirectory).isDir();
    usage.isAuthenticated = !state_->missing && hasCredentialFile(geminiDirectory);
    usage.dataSourceLabel = QStringLiteral("Best-effort Gemini CLI scan");
    usage.dataSourceDetail = geminiDirectory;
}

GeminiCliReader::Summary::~Summary() = default;

bool GeminiCliReader::Summary::isMissing() const {
    return state_->missing;
}

void GeminiCliReader::Summary::addEvents(const QString& path,
                                         const std::vector<UsageEvent>& events) {
    State& s = *state_;
    ProviderUsage& usage = s.usage;
    std::int64_t number = 0;
    for (const UsageEvent& event : events) {
        if (event.at < s.since) continue;
        SessionUsage session;
        session.id = path + QLatin1Char('#') + QString::number(number++);
        session.provider = ProviderKind::gemini;
        session.project = QStringLiteral("Gemini CLI");
        session.task = event.task;
        session.model = event.model.isEmpty() ? QStringLiteral("unknown") : event.model;
        session.startedAt = event.at;
        session.lastActiveAt = event.at;
        session.prompts = event.prompts;
        session.inputTokens = event.inputTokens;
        session.outputTokens = event.outputTokens;
        session.cost =
            UsagePricing::geminiCost(session.model, event.inputTokens, 0, event.outputTokens, 0);

        ModelUsage& model = s.models.entry(session.model);
        model.sessions += 1;
        model.inputTokens = addCounts(model.inputTokens, event.inputTokens);
        model.outputTokens = addCounts(model.outputTokens, event.outputTokens);
        model.prompts = addCounts(model.prompts, event.prompts);
        model.cost += session.cost;

        usage.lastFiveHourPrompts = addCounts(usage.lastFiveHourPrompts, event.prompts);
        usage.lastFiveHourTokens = addCounts(usage.lastFiveHourTokens, event.totalTokens);
        usage.totalInputTokens = addCounts(usage.totalInputTokens, event.inputTokens);
        usage.totalOutputTokens = addCounts(usage.totalOutputTokens, event.outputTokens);
        usage.costTotal += session.cost;
        s.noteActivity(event.at, session.model);
        if (event.prompts > 0) s.notePrompt(event.at, session.task, session.project);
        s.sessions.push_back(std::move(session));
    }
    if (number > 0) ++s.activeFiles;
}

void GeminiCliReader::Summary::addChat(const QString& path,
                                       const std::vector<GeminiChat::ChatItem>& items,
                                       const QString& project, bool spawned) {
    State& s = *state_;
    QString key = path;
    for (const ChatItem& item : items) {
        if (item.namesSession) {
            key = item.id;  // the same session may have been written by two versions
            continue;
        }
        auto found = s.chats.find(key);
        if (found == s.chats.end()) {
            found = s.chats.insert(key, ChatSession{key, project, spawned, {}, {}});
            s.chatOrder.push_back(key);
        }
        ChatRecord record = item.record;
        if (record.isPrompt) record.prompt = CliLogParsing::shortenedTask(record.prompt);
        found->put(item.id, std::move(record));
    }
}

void GeminiCliReader::Summary::addLoggedPrompts(
    const std::vector<GeminiChat::LoggedPrompt>& prompts) {
    state_->logged.insert(state_->logged.end(), prompts.begin(), prompts.end());
}

ProviderUsage GeminiCliReader::Summary::finish() {
    State& s = *state_;
    ProviderUsage& usage = s.usage;
    if (s.missing) {
        usage.warnings = {QStringLiteral("Gemini directory was not found.")};
        return std::move(usage);
    }
    s.addLoggedPrompts();
    for (const QString& key : s.chatOrder) s.addChat(s.chats[key]);
    usage.sessionsTotal = s.activeFiles;
    usage.lastFiveHourSessions = s.activeFiles;
    if (usage.latestProject.isEmpty()) usage.latestProject = QStringLiteral("Gemini CLI");
    std::tie(usage.statusText, usage.statusLevel) =
        CliLogParsing::status(usage.latestActivityAt, systemNow());
    usage.models = s.models.sortedByTokens();
    usage.sessions = readers::latestSessions(std::move(s.sessions));
    if (s.activeFiles == 0) {
        usage.warnings = {QStringLiteral("No recent Gemini CLI usage records were detected.")};
    }
    return std::move(usage);
}

}  // namespace qm
