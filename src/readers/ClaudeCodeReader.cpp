#include "readers/ClaudeCodeReader.h"

#include <sys/stat.h>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "core/Clock.h"
#include "readers/ClaudeTranscriptLine.h"
#include "readers/CliLogParsing.h"
#include "readers/FileWalk.h"
#include "readers/ReaderSupport.h"

namespace qm {
namespace {

namespace od = simdjson::ondemand;
using CliLogParsing::addCounts;
using readers::toQString;
using Transcript = ClaudeCodeReader::Transcript;
using namespace ClaudeTranscript;

AnthropicTokens plus(const AnthropicTokens& a, const AnthropicTokens& b) {
    return {addCounts(a.input, b.input), addCounts(a.output, b.output),
            addCounts(a.cacheRead, b.cacheRead), addCounts(a.cacheWrite5m, b.cacheWrite5m),
            addCounts(a.cacheWrite1h, b.cacheWrite1h)};
}

// The lines of one request repeat its usage; a line written while the reply still streamed
// may hold less, so the largest figure of each kind stands.
AnthropicTokens largest(const AnthropicTokens& a, const AnthropicTokens& b) {
    return {std::max(a.input, b.input), std::max(a.output, b.output),
            std::max(a.cacheRead, b.cacheRead), std::max(a.cacheWrite5m, b.cacheWrite5m),
            std::max(a.cacheWrite1h, b.cacheWrite1h)};
}

// Everything the input side of a request holds: fresh input, cache reads and cache writes.
std::int64_t inputOf(const AnthropicTokens& t) {
    return addCounts(addCounts(t.input, t.cacheRead), addCounts(t.cacheWrite5m, t.cacheWrite1h));
}

// Reads transcripts one after another, reusing one line buffer and one parser. Request keys
// and prompt ids seen in earlier files are remembered, so a conversation copied into a resumed
// session's file counts once.
class TranscriptParser {
public:
    Transcript parse(const QString& path, TimeMs since, bool subagent);

private:
    struct Request {
        std::uint64_t key = 0;
        bool keyed = false;
        std::size_t model = 0;
        AnthropicTokens tokens;
        std::optional<TimeMs> at;
    };

    struct File {
        TimeMs since = 0;
        bool subagent = false;
        Transcript result;
        std::vector<std::string> models;
        std::vector<Request> requests;
        std::unordered_map<std::uint64_t, std::size_t> requestByKey;
    };

    std::size_t modelIndex(std::string_view model);
    void handle(const LineFacts& facts);
    void addRequest(const LineFacts& facts, std::optional<TimeMs> at);
    Transcript finish();

    File file_;
    std::unordered_set<std::uint64_t> seen_;
    std::unordered_set<std::size_t> seenPrompts_;
    std::string keyText_;
    CliLogParsing::LineStream stream_;
    od::parser parser_;
};

Transcript TranscriptParser::parse(const QString& path, TimeMs since, bool subagent) {
    file_ = File{};
    file_.since = since;
    file_.subagent = subagent;
    stream_.forEachLine(path, [&](std::string_view line) {
        if (isToolResultLine(line)) return;
        LineFacts facts;
        if (readLine(parser_, line, facts) != simdjson::SUCCESS) return;
        handle(facts);
    });
    return finish();
}

std::size_t TranscriptParser::modelIndex(std::string_view model) {
    auto& models = file_.models;
    const auto found = std::find(models.begin(), models.end(), model);
    if (found != models.end()) return std::size_t(found - models.begin());
    models.emplace_back(model);
    return models.size() - 1;
}

void TranscriptParser::handle(const LineFacts& facts) {
    Transcript& result = file_.result;
    if (facts.kind == LineKind::other) return;
    // An error the tool reports as a reply never reached the API.
    if (facts.kind == LineKind::assistant && (facts.apiError || facts.model == "<synthetic>")) {
        return;
    }
    const std::optional<TimeMs> at =
        facts.timestamp.empty() ? std::nullopt : CliLogParsing::date(facts.timestamp);
    if (at) {
        if (!result.startedAt || *at < *result.startedAt) result.startedAt = at;
        if (!result.lastActiveAt || *at > *result.lastActiveAt) result.lastActiveAt = at;
    }
    if (result.project.isEmpty() && !facts.cwd.empty()) {
        result.project = CliLogParsing::projectName(toQString(facts.cwd));
    }
    if (facts.kind == LineKind::assistant) {
        if (facts.hasUsage) addRequest(facts, at);
        return;
    }
    if (file_.subagent || !isTypedPrompt(facts)) return;
    // A prompt copied into a resumed session's file was typed once.
    if (!facts.uuid.empty() &&
        !seenPrompts_.insert(std::hash<std::string_view>{}(facts.uuid)).second) {
        return;
    }
    ++result.prompts;
    if (!at || *at >= file_.since) ++result.recentPrompts;
    // 4 KB of UTF-8 hold more than the characters a task is cut to.
    if (result.task.isEmpty()) {
        result.task = CliLogParsing::shortenedTask(toQString(facts.text->substr(0, 4096)));
    }
}

void TranscriptParser::addRequest(const LineFacts& facts, std::optional<TimeMs> at) {
    Request request;
    request.model = modelIndex(facts.model);
    request.tokens = facts.tokens;
    // Writes without their lifetimes, or beyond them, are five-minute writes: the default.
    const std::int64_t split = addCounts(facts.tokens.cacheWrite5m, facts.tokens.cacheWrite1h);
    if (facts.cacheWrites > split) {
        request.tokens.cacheWrite5m =
            addCounts(request.tokens.cacheWrite5m, facts.cacheWrites - split);
    }
    request.at = at;
    if (!facts.model.empty()) file_.result.model = toQString(facts.model);
    if (!facts.requestId.empty() || !facts.messageId.empty()) {
        keyText_.assign(facts.requestId);
        keyText_.push_back('\n');
        keyText_.append(facts.messageId);
        request.key = std::hash<std::string>{}(keyText_);
        request.keyed = true;
        const auto [it, inserted] =
            file_.requestByKey.try_emplace(request.key, file_.requests.size());
        if (!inserted) {
            Request& first = file_.requests[it->second];
            first.tokens = largest(first.tokens, request.tokens);
            return;
        }
    }
    file_.requests.push_back(request);
}

Transcript TranscriptParser::finish() {
    Transcript result = std::move(file_.result);
    const std::size_t models = file_.models.size();
    std::vector<AnthropicTokens> totals(models);
    std::vector<AnthropicTokens> window(models);
    std::vector<double> cost(models, 0);
    std::vector<double> windowCost(models, 0);
    std::vector<bool> used(models, false);
    std::vector<std::optional<ModelPrice>> prices(models);
    for (std::size_t i = 0; i < models; ++i) {
        prices[i] = PriceBook::find(PriceProvider::anthropic, toQString(file_.models[i]));
    }
    for (const Request& request : file_.requests) {
        if (request.keyed && !seen_.insert(request.key).second) continue;
        ++result.requests;
        used[request.model] = true;
        totals[request.model] = plus(totals[request.model], request.tokens);
        // Priced per request: a prompt above 200 000 tokens pays the long-context rates.
        const double requestCost =
            prices[request.model] ? UsagePricing::cost(*prices[request.model],
                                                       UsagePricing::fromAnthropic(request.tokens),
                                                       CountSpan::oneCall)
                                  : 0;
        cost[request.model] += requestCost;
        if (!request.at || *request.at >= file_.since) {
            window[request.model] = plus(window[request.model], request.tokens);
            windowCost[request.model] += requestCost;
        }
    }
    for (std::size_t i = 0; i < models; ++i) {
        if (!used[i]) continue;
        ClaudeCodeReader::ModelPart part;
        part.model =
            file_.models[i].empty() ? QStringLiteral("unknown") : toQString(file_.models[i]);
        part.tokens = totals[i];
        part.cost = cost[i];
        part.windowTokens = addCounts(inputOf(window[i]), window[i].output);
        part.windowCost = windowCost[i];
        result.byModel.push_back(std::move(part));
    }
    return result;
}

struct Found {
    QString path;
    QString parentPath;  // for a sub-agent's transcript: its session's transcript
};

// Transcripts written to since `since`; `seen` counts every transcript, old ones too. An old
// file costs its directory entry and one stat, never an open; the depth is bounded (the tool
// nests three levels).
void collectTranscripts(const QString& directory, TimeMs since, std::vector<Found>& files,
                        std::size_t& seen) {
    constexpr std::string_view kSubagents = "/subagents/";
    auto onFile = [&](const std::string& file, std::string_view name, const struct stat& st) {
        if (!name.ends_with(".jsonl")) return;
        ++seen;
        const TimeMs modifiedAt = TimeMs(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
        if (modifiedAt < since) return;
        Found found{QFile::decodeName(QByteArray::fromStdString(file)), {}};
        // <project>/<session>/subagents/agent-<id>.jsonl belongs to <project>/<session>.jsonl
        const std::size_t slash = file.rfind('/');
        if (slash >= kSubagents.size() - 1 &&
            std::string_view(file).substr(slash + 1 - kSubagents.size(), kSubagents.size()) ==
                kSubagents) {
            const std::string parent = file.substr(0, slash + 1 - kSubagents.size()) + ".jsonl";
            found.parentPath = QFile::decodeName(QByteArray::fromStdString(parent));
        }
        files.push_back(std::move(found));
    };
    readers::walkRegularFiles(directory, 8, onFile);
}

void merge(Transcript& into, const Transcript& from) {
    into.requests += from.requests;
    for (const ClaudeCodeReader::ModelPart& part : from.byModel) {
        auto same = std::find_if(into.byModel.begin(), into.byModel.end(),
                                 [&](const auto& p) { return p.model == part.model; });
        if (same == into.byModel.end()) {
            into.byModel.push_back(part);
            continue;
        }
        same->tokens = plus(same->tokens, part.tokens);
        same->cost += part.cost;
        same->windowTokens = addCounts(same->windowTokens, part.windowTokens);
        same->windowCost += part.windowCost;
    }
}

}  // namespace

ClaudeCodeReader::ClaudeCodeReader(QStringList projectDirectories, QString credentialsFile)
    : projectDirectories_(std::move(projectDirectories)),
      credentialsFile_(std::move(credentialsFile)) {}

namespace {
QString configDirectoryFromEnvironment() {
    const QString fromEnvironment = qEnvironmentVariable("CLAUDE_CONFIG_DIR");
    return fromEnvironment.trimmed().isEmpty() ? QString() : fromEnvironment;
}
}  // namespace

QStringList ClaudeCodeReader::projectDirectoriesFor(const QString& homeDirectory) {
    const QString configured = configDirectoryFromEnvironment();
    if (!configured.isEmpty()) return {QDir(configured).filePath(QStringLiteral("projects"))};
    const QDir home(homeDirectory);
    return {home.filePath(QStringLiteral(".claude/projects")),
            home.filePath(QStringLiteral(".config/claude/projects"))};
}

QString ClaudeCodeReader::credentialsFileFor(const QString& homeDirectory) {
    const QString configured = configDirectoryFromEnvironment();
    const QDir config(configured.isEmpty() ? QDir(homeDirectory).filePath(QStringLiteral(".claude"))
                                           : configured);
    return config.filePath(QStringLiteral(".credentials.json"));
}

namespace {

// Both default locations may be one folder under two names: each is read once.
QStringList distinctDirectories(const QStringList& directories) {
    QStringList distinct;
    QStringList canonical;
    for (const QString& directory : directories) {
        const QFileInfo info(directory);
        if (!info.isDir() || canonical.contains(info.canonicalFilePath())) continue;
        canonical.append(info.canonicalFilePath());
        distinct.append(directory);
    }
    return distinct;
}

struct ReadTranscripts {
    std::vector<std::pair<QString, Transcript>> sessions;  // with their sub-agents merged in
    std::vector<Transcript> orphans;                       // sub-agents whose session was not read
};

ReadTranscripts readTranscripts(std::vector<Found> files, TimeMs since) {
    // Sessions first, so their sub-agents can join them.
    std::stable_partition(files.begin(), files.end(),
                          [](const Found& f) { return f.parentPath.isEmpty(); });
    TranscriptParser parser;
    ReadTranscripts read;
    QHash<QString, std::size_t> sessionByPath;
    for (const Found& found : files) {
        const bool subagent = !found.parentPath.isEmpty();
        Transcript transcript = parser.parse(found.path, since, subagent);
        if (!subagent) {
            sessionByPath.insert(found.path, read.sessions.size());
            read.sessions.emplace_back(found.path, std::move(transcript));
        } else if (const auto parent = sessionByPath.constFind(found.parentPath);
                   parent != sessionByPath.constEnd()) {
            merge(read.sessions[*parent].second, transcript);
        } else if (transcript.requests > 0) {
            read.orphans.push_back(std::move(transcript));
        }
    }
    return read;
}

// Adds a transcript's usage to the summary, its models and, when it is one, its session.
void addUsage(ProviderUsage& usage, readers::ModelTotals& models, const Transcript& transcript,
              SessionUsage* session) {
    for (const ClaudeCodeReader::ModelPart& part : transcript.byModel) {
        const std::int64_t input = inputOf(part.tokens);
        const std::int64_t writes = addCounts(part.tokens.cacheWrite5m, part.tokens.cacheWrite1h);
        ModelUsage& model = models.entry(part.model);
        if (session) model.sessions += 1;
        model.inputTokens = addCounts(model.inputTokens, input);
        model.outputTokens = addCounts(model.outputTokens, part.tokens.output);
        model.cachedTokens = addCounts(model.cachedTokens, part.tokens.cacheRead);
        model.cacheWriteTokens = addCounts(model.cacheWriteTokens, writes);
        model.cost += part.cost;
        usage.totalInputTokens = addCounts(usage.totalInputTokens, input);
        usage.totalOutputTokens = addCounts(usage.totalOutputTokens, part.tokens.output);
        usage.totalCachedTokens = addCounts(usage.totalCachedTokens, part.tokens.cacheRead);
        usage.totalCacheWriteTokens = addCounts(usage.totalCacheWriteTokens, writes);
        usage.costTotal += part.cost;
        usage.lastFiveHourTokens = addCounts(usage.lastFiveHourTokens, part.windowTokens);
        usage.lastFiveHourCost += part.windowCost;
        if (!session) continue;
        session->inputTokens = addCounts(session->inputTokens, input);
        session->outputTokens = addCounts(session->outputTokens, part.tokens.output);
        session->cachedTokens = addCounts(session->cachedTokens, part.tokens.cacheRead);
        session->cacheWriteTokens = addCounts(session->cacheWriteTokens, writes);
        session->cost += part.cost;
    }
}

SessionUsage sessionOf(const QString& path, const Transcript& transcript) {
    SessionUsage session;
    session.id = path;
    session.provider = ProviderKind::claudeCode;
    session.project = transcript.project.isEmpty() ? QStringLiteral("unknown") : transcript.project;
    session.task = transcript.task;
    session.model = transcript.model.isEmpty() ? QStringLiteral("unknown") : transcript.model;
    session.startedAt = transcript.startedAt;
    session.lastActiveAt = transcript.lastActiveAt;
    if (!session.lastActiveAt) session.lastActiveAt = CliLogParsing::modificationTime(path);
    if (!session.startedAt) session.startedAt = session.lastActiveAt;
    session.prompts = transcript.prompts;
    return session;
}

}  // namespace

ProviderUsage ClaudeCodeReader::readUsageSync(TimeMs since) const {
    ProviderUsage usage = ProviderUsage::placeholder(ProviderKind::claudeCode);
    usage.isAuthenticated = QFileInfo::exists(credentialsFile_);
    usage.dataSourceLabel = QStringLiteral("Local transcripts");
    const QStringList directories = distinctDirectories(projectDirectories_);
    usage.dataSourceDetail =
        (directories.isEmpty() ? projectDirectories_ : directories).join(QStringLiteral(", "));
    if (directories.isEmpty()) {
        usage.warnings = {QStringLiteral("Claude Code projects directory was not found.")};
        return usage;
    }

    std::vector<Found> files;
    std::size_t seen = 0;
    for (const QString& directory : directories) collectTranscripts(directory, since, files, seen);
    if (seen == 0) usage.warnings = {QStringLiteral("No Claude Code transcripts were found.")};
    ReadTranscripts read = readTranscripts(std::move(files), since);

    readers::ModelTotals models;
    std::vector<SessionUsage> listed;
    for (auto& [path, transcript] : read.sessions) {
        // Files with only bookkeeping, or only errors, are no session of the person's.
        if (transcript.requests == 0 && transcript.prompts == 0) continue;
        SessionUsage session = sessionOf(path, transcript);
        addUsage(usage, models, transcript, &session);
        if (!transcript.byModel.empty()) {
            ModelUsage& last = models.entry(session.model);
            last.prompts = addCounts(last.prompts, session.prompts);
        }

        usage.lastFiveHourPrompts = addCounts(usage.lastFiveHourPrompts, transcript.recentPrompts);
        if (session.lastActiveAt && *session.lastActiveAt >= since) usage.lastFiveHourSessions += 1;
        if (session.lastActiveAt &&
            (!usage.latestActivityAt || *session.lastActiveAt > *usage.latestActivityAt)) {
            usage.latestActivityAt = session.lastActiveAt;
            usage.latestProject = session.project;
            usage.latestTask = session.task;
            usage.latestModel = session.model;
        }
        listed.push_back(std::move(session));
    }
    for (const Transcript& orphan : read.orphans) addUsage(usage, models, orphan, nullptr);

    std::tie(usage.statusText, usage.statusLevel) =
        CliLogParsing::status(usage.latestActivityAt, systemNow());
    usage.sessionsTotal = std::int64_t(listed.size());
    usage.models = models.sortedByCost();
    usage.sessions = readers::latestSessions(std::move(listed));
    return usage;
}

}  // namespace qm
