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
    // The transcript that `facts` make after the files taken before.
    Transcript take(const ClaudeCodeReader::TranscriptFacts& facts, TimeMs since);

private:
    void takePrompts(const ClaudeCodeReader::TranscriptFacts& facts, TimeMs since,
                     Transcript& result);

    ClaudeCodeReader::TranscriptFacts facts_;
    std::unordered_map<std::uint64_t, std::size_t> requestByKey_;
    std::unordered_set<std::uint64_t> seen_;
    std::unordered_set<std::uint64_t> seenPrompts_;
    CliLogParsing::LineStream stream_;
    od::parser parser_;
};

Transcript TranscriptParser::parse(const QString& path, TimeMs since, bool subagent) {
    facts_ = {};
    requestByKey_.clear();
    stream_.forEachLine(path, [&](std::string_view line) {
        if (isToolResultLine(line)) return;
        LineFacts facts;
        if (readLine(parser_, line, facts) != simdjson::SUCCESS) return;
        ClaudeCodeReader::addLine(facts_, requestByKey_, facts, subagent);
    });
    return take(facts_, since);
}

void TranscriptParser::takePrompts(const ClaudeCodeReader::TranscriptFacts& facts, TimeMs since,
                                   Transcript& result) {
    for (const ClaudeCodeReader::PromptFacts& prompt : facts.prompts) {
        // A prompt copied into a resumed session's file was typed once.
        if (prompt.keyed && !seenPrompts_.insert(prompt.key).second) continue;
        ++result.prompts;
        if (!prompt.at || *prompt.at >= since) ++result.recentPrompts;
        if (result.task.isEmpty()) result.task = prompt.task;
    }
}

Transcript TranscriptParser::take(const ClaudeCodeReader::TranscriptFacts& facts, TimeMs since) {
    Transcript result;
    result.model = facts.model;
    result.project = facts.project;
    result.startedAt = facts.startedAt;
    result.lastActiveAt = facts.lastActiveAt;
    takePrompts(facts, since, result);
    // Models in order of first use.
    std::vector<QString> names;
    std::vector<std::size_t> modelOf;
    modelOf.reserve(facts.requests.size());
    for (const ClaudeCodeReader::RequestFacts& request : facts.requests) {
        const auto found = std::find(names.begin(), names.end(), request.model);
        modelOf.push_back(std::size_t(found - names.begin()));
        if (found == names.end()) names.push_back(request.model);
    }
    const std::size_t models = names.size();
    std::vector<AnthropicTokens> totals(models);
    std::vector<AnthropicTokens> window(models);
    std::vector<double> cost(models, 0);
    std::vector<double> windowCost(models, 0);
    std::vector<bool> used(models, false);
    std::vector<std::optional<ModelPrice>> prices(models);
    for (std::size_t i = 0; i < models; ++i) {
        prices[i] = PriceBook::find(PriceProvider::anthropic, names[i]);
    }
    for (std::size_t r = 0; r < facts.requests.size(); ++r) {
        const ClaudeCodeReader::RequestFacts& request = facts.requests[r];
        if (request.keyed && !seen_.insert(request.key).second) continue;
        const std::size_t m = modelOf[r];
        ++result.requests;
        used[m] = true;
        totals[m] = plus(totals[m], request.tokens);
        // Priced per request: a prompt above 200 000 tokens pays the long-context rates.
        const double requestCost =
            prices[m] ? UsagePricing::cost(*prices[m], UsagePricing::fromAnthropic(request.tokens),
                                           CountSpan::oneCall)
                      : 0;
        cost[m] += requestCost;
        if (!request.at || *request.at >= since) {
            window[m] = plus(window[m], request.tokens);
            windowCost[m] += requestCost;
        }
    }
    for (std::size_t i = 0; i < models; ++i) {
        if (!used[i]) continue;
        ClaudeCodeReader::ModelPart part;
        part.model = names[i].isEmpty() ? QStringLiteral("unknown") : names[i];
        part.tokens = totals[i];
        part.cost = cost[i];
        part.windowTokens = addCounts(inputOf(window[i]), window[i].output);
        part.windowCost = windowCost[i];
        result.byModel.push_back(std::move(part));
    }
    return result;
}

void addRequest(ClaudeCodeReader::TranscriptFacts& facts,
                std::unordered_map<std::uint64_t, std::size_t>& requestByKey, const LineFacts& line,
                std::optional<TimeMs> at) {
    ClaudeCodeReader::RequestFacts request;
    request.model = toQString(line.model);
    request.tokens = line.tokens;
    // Writes without their lifetimes, or beyond them, are five-minute writes: the default.
    const std::int64_t split = addCounts(line.tokens.cacheWrite5m, line.tokens.cacheWrite1h);
    if (line.cacheWrites > split) {
        request.tokens.cacheWrite5m =
            addCounts(request.tokens.cacheWrite5m, line.cacheWrites - split);
    }
    request.at = at;
    if (!line.model.empty()) facts.model = request.model;
    if (!line.requestId.empty() || !line.messageId.empty()) {
        std::string keyText(line.requestId);
        keyText.push_back('\n');
        keyText.append(line.messageId);
        request.key = std::hash<std::string>{}(keyText);
        request.keyed = true;
        const auto [it, inserted] = requestByKey.try_emplace(request.key, facts.requests.size());
        if (!inserted) {
            ClaudeCodeReader::RequestFacts& first = facts.requests[it->second];
            // Lines that each keep the rule may not together: the figures read first stand.
            const AnthropicTokens merged = largest(first.tokens, request.tokens);
            if (withinRule(merged)) first.tokens = merged;
            return;
        }
    }
    facts.requests.push_back(std::move(request));
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

void ClaudeCodeReader::addLine(TranscriptFacts& facts,
                               std::unordered_map<std::uint64_t, std::size_t>& requestByKey,
                               const LineFacts& line, bool subagent) {
    if (line.kind == LineKind::other || line.outOfRange) return;
    // An error the tool reports as a reply never reached the API.
    if (line.kind == LineKind::assistant && (line.apiError || line.model == "<synthetic>")) return;
    const std::optional<TimeMs> at =
        line.timestamp.empty() ? std::nullopt : CliLogParsing::date(line.timestamp);
    if (at) {
        if (!facts.startedAt || *at < *facts.startedAt) facts.startedAt = at;
        if (!facts.lastActiveAt || *at > *facts.lastActiveAt) facts.lastActiveAt = at;
    }
    if (facts.project.isEmpty() && !line.cwd.empty()) {
        facts.project = CliLogParsing::projectName(toQString(line.cwd));
    }
    if (line.kind == LineKind::assistant) {
        if (line.hasUsage) addRequest(facts, requestByKey, line, at);
        return;
    }
    if (subagent || !isTypedPrompt(line)) return;
    PromptFacts prompt;
    prompt.keyed = !line.uuid.empty();
    if (prompt.keyed) prompt.key = std::hash<std::string_view>{}(line.uuid);
    prompt.at = at;
    // 4 KB of UTF-8 hold more than the characters a task is cut to.
    prompt.task = CliLogParsing::shortenedTask(toQString(line.text->substr(0, 4096)));
    facts.prompts.push_back(std::move(prompt));
}

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

ReadTranscripts readTranscripts(std::vector<Found> files, TimeMs since,
                                const ClaudeCodeReader::FactsSource& factsOf) {
    // In the order of the paths' bytes rather than of the directory listing, so that the file
    // that claims a request several files hold is the same everywhere; sessions first, so
    // their sub-agents can join them.
    std::sort(files.begin(), files.end(), [](const Found& a, const Found& b) {
        return QFile::encodeName(a.path) < QFile::encodeName(b.path);
    });
    std::stable_partition(files.begin(), files.end(),
                          [](const Found& f) { return f.parentPath.isEmpty(); });
    TranscriptParser parser;
    ReadTranscripts read;
    QHash<QString, std::size_t> sessionByPath;
    for (const Found& found : files) {
        const bool subagent = !found.parentPath.isEmpty();
        const std::optional<ClaudeCodeReader::TranscriptFacts> given =
            factsOf ? factsOf(found.path) : std::nullopt;
        Transcript transcript =
            given ? parser.take(*given, since) : parser.parse(found.path, since, subagent);
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
    return summarize(since, {});
}

ProviderUsage ClaudeCodeReader::summarize(TimeMs since, const FactsSource& factsOf) const {
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
    ReadTranscripts read = readTranscripts(std::move(files), since, factsOf);

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
