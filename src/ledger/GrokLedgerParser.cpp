#include <QFileInfo>

#include "ledger/LedgerParsers.h"
#include "ledger/SessionFacts.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

// Grok keeps each session in a folder of its own. updates.jsonl, which versions from 1.0 on
// append the billed usage of every turn to, is an entry read on from where the last read
// stopped; the small files that describe the session (summary.json, signals.json,
// chat_history.jsonl) are one entry, read whole whenever one of them changes (see
// LogDiscovery.cpp).
namespace qm::ledger {
namespace {

namespace dom = simdjson::dom;
using CliLogParsing::tokenCountAt;
using readers::objectAt;
using readers::textAt;
using readers::toQString;

// The tool writes summary.json and signals.json in a few hundred bytes: far larger ones are no
// session's, and the chat history is read for its prompts up to the size it has any use.
constexpr std::uint64_t kMaxGrokFileBytes = 16u << 20;
constexpr std::uint64_t kMaxGrokHistoryBytes = 20'000'000;

// What summary.json says of a session.
struct GrokSummary {
    QString id;  // empty when it names none
    QString project;
    QString task;
    QString model;
    bool hidden = false;
    std::optional<TimeMs> startedAt;
    std::optional<TimeMs> lastActiveAt;  // from its own times, the latest it has
};

bool loadGrokObject(CliLogParsing::TextFile& file, dom::parser& parser, const QString& path,
                    std::uint64_t limit, dom::object& out) {
    if (!file.load(path, limit)) return false;
    const std::string_view text = file.text();
    return parser.parse(text.data(), text.size(), false).get(out) == simdjson::SUCCESS;
}

std::optional<GrokSummary> readGrokSummary(CliLogParsing::TextFile& file, dom::parser& parser,
                                           const QString& folder) {
    dom::object root;
    if (!loadGrokObject(file, parser, folder + QStringLiteral("/summary.json"), kMaxGrokFileBytes,
                        root)) {
        return std::nullopt;
    }
    GrokSummary summary;
    const auto info = objectAt(root, "info");
    summary.id = toQString(info ? textAt(*info, "id").value_or("") : std::string_view());
    const std::string_view cwd = info ? textAt(*info, "cwd").value_or("") : std::string_view();
    const std::string_view gitRoot = textAt(root, "git_root_dir").value_or("");
    summary.project = CliLogParsing::projectName(toQString(!gitRoot.empty() ? gitRoot : cwd));
    QString title = toQString(textAt(root, "session_summary").value_or("")).trimmed();
    if (title.isEmpty()) title = toQString(textAt(root, "generated_title").value_or(""));
    summary.task = CliLogParsing::shortenedTask(title);
    const auto dateAt = [&](std::string_view key) -> std::optional<TimeMs> {
        const auto text = textAt(root, key);
        return text ? CliLogParsing::date(*text) : std::nullopt;
    };
    summary.startedAt = dateAt("created_at");
    summary.lastActiveAt = dateAt("last_active_at");
    if (!summary.lastActiveAt) summary.lastActiveAt = dateAt("updated_at");
    if (!summary.lastActiveAt) summary.lastActiveAt = summary.startedAt;
    summary.model = toQString(textAt(root, "current_model_id").value_or(""));
    bool hidden = false;
    summary.hidden = (root.at_key("hidden").get(hidden) == simdjson::SUCCESS && hidden) ||
                     textAt(root, "session_kind").value_or("").starts_with("subagent");
    return summary;
}

constexpr std::string_view kGrokUserQuery = "<user_query>";

bool grokUserQuery(const dom::object& line) {
    dom::element content;
    if (line.at_key("content").get(content) != simdjson::SUCCESS) return false;
    std::string_view text;
    if (content.get(text) == simdjson::SUCCESS) {
        return text.find(kGrokUserQuery) != std::string_view::npos;
    }
    dom::array items;
    if (content.get(items) != simdjson::SUCCESS) return false;
    for (dom::element item : items) {
        dom::object itemObject;
        if (item.get(text) == simdjson::SUCCESS) {
            if (text.find(kGrokUserQuery) != std::string_view::npos) return true;
        } else if (item.get(itemObject) == simdjson::SUCCESS) {
            const auto itemText = textAt(itemObject, "text");
            if (itemText && itemText->find(kGrokUserQuery) != std::string_view::npos) return true;
        }
    }
    return false;
}

// Sessions without signals.json: what the person typed, as the tool marks it in the history.
std::int64_t grokHistoryPrompts(CliLogParsing::TextFile& file, dom::parser& parser,
                                const QString& folder) {
    if (!file.load(folder + QStringLiteral("/chat_history.jsonl"), kMaxGrokHistoryBytes)) return 0;
    std::int64_t count = 0;
    CliLogParsing::forEachLine(file.text(), [&](std::string_view line) {
        dom::object object;
        if (parser.parse(line.data(), line.size(), false).get(object) == simdjson::SUCCESS &&
            textAt(object, "type") == std::optional<std::string_view>("user") &&
            grokUserQuery(object)) {
            ++count;
        }
    });
    return count;
}

// summary.json, then signals.json (or the chat history): the session's facts.
GrokSessionFacts readGrokFolder(CliLogParsing::TextFile& file, dom::parser& parser,
                                const QString& folder, const std::optional<GrokSummary>& summary) {
    GrokSessionFacts facts;
    if (!summary) return facts;
    const QString summaryPath = folder + QStringLiteral("/summary.json");
    facts.listed = true;
    facts.id = summary->id.isEmpty() ? summaryPath : summary->id;
    facts.task = summary->task;
    facts.model = summary->model;
    facts.hidden = summary->hidden;
    facts.startedAt = summary->startedAt;
    facts.lastActiveAt = summary->lastActiveAt;
    if (!facts.lastActiveAt) facts.lastActiveAt = CliLogParsing::modificationTime(summaryPath);
    const QString signalsPath = folder + QStringLiteral("/signals.json");
    dom::object counters;
    if (!readers::isRegularFile(QFileInfo(signalsPath))) {
        facts.prompts = grokHistoryPrompts(file, parser, folder);
    } else if (loadGrokObject(file, parser, signalsPath, kMaxGrokFileBytes, counters)) {
        if (const auto model = textAt(counters, "primaryModelId"); model && !model->empty())
            facts.model = toQString(*model);
        // Counts outside the rule for figures from outside count for nothing.
        facts.contextTokens = tokenCountAt(counters, {"contextTokensUsed"}).value_or(0);
        facts.prompts = tokenCountAt(counters, {"userMessageCount"}).value_or(0);
    }
    if (facts.hidden) facts.prompts = 0;
    facts.estimated = !readers::isRegularFile(QFileInfo(folder + QStringLiteral("/updates.jsonl")));
    return facts;
}

void readGrokSession(FileEntry& entry, const OpenLog& log, ParseScratch& scratch) {
    entry.restart();
    const QString folder = QFileInfo(entry.path).path();
    CliLogParsing::TextFile file;
    const std::optional<GrokSummary> summary = readGrokSummary(file, scratch.dom, folder);
    const GrokSessionFacts facts = readGrokFolder(file, scratch.dom, folder, summary);
    entry.session = summary && !summary->id.isEmpty() ? summary->id : QFileInfo(folder).fileName();
    entry.project = summary ? summary->project : QStringLiteral("unknown");
    entry.subordinate = facts.hidden;
    // The estimate the summary makes for a session that logged no usage, counted where
    // everything else is: one call, the context fill its input.
    if (facts.estimated && facts.contextTokens > 0 && facts.lastActiveAt) {
        Counts call;
        call.input = facts.contextTokens;
        call.prompts = facts.prompts;
        call.calls = 1;
        entry.add(hourOf(*facts.lastActiveAt), facts.model, kEstimated, call);
    }
    entry.offset = log.size;
    if (log.progress) log.progress(log.size);
    entry.facts = facts.encode();
}

// One model's part of a turn and the counts it adds; none when a figure breaks the rule for
// figures from outside.
std::optional<std::pair<GrokFacts::Turn, Counts>> grokPartOf(std::optional<QString> model,
                                                             const dom::object& usage) {
    const auto input = tokenCountAt(usage, {"inputTokens"});
    const auto cached = tokenCountAt(usage, {"cachedReadTokens"});
    const auto output = tokenCountAt(usage, {"outputTokens"});
    const auto reasoning = tokenCountAt(usage, {"reasoningTokens"});
    if (!input || !cached || !output || !reasoning) return std::nullopt;
    GrokFacts::Turn turn;
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
    if (!GrokFacts::withinRule(turn)) return std::nullopt;
    Counts counts;
    counts.input = *input;
    counts.cachedInput = *cached;
    counts.output = *output;
    counts.reasoning = *reasoning;
    counts.calls = 1;
    return std::pair(std::move(turn), counts);
}

enum class GrokLine { other, turn, skipped };

// A finished turn of updates.jsonl: its parts, one per model when it splits by model. The
// whole turn is checked before any part of it counts, its own figures as well when its
// models' parts are the ones counted.
GrokLine grokTurnOf(dom::parser& parser, std::string_view line,
                    std::vector<std::pair<GrokFacts::Turn, Counts>>& parts) {
    // Most lines stream the reply; only finished turns carry usage.
    if (!CliLogParsing::containsBytes(line, "turn_completed")) return GrokLine::other;
    dom::object object;
    if (parser.parse(line.data(), line.size(), false).get(object) != simdjson::SUCCESS)
        return GrokLine::other;
    const auto params = objectAt(object, "params");
    const auto update = params ? objectAt(*params, "update") : std::nullopt;
    if (!update ||
        textAt(*update, "sessionUpdate") != std::optional<std::string_view>("turn_completed")) {
        return GrokLine::other;
    }
    const auto usage = objectAt(*update, "usage");
    if (!usage) return GrokLine::other;
    parts.clear();
    if (const auto perModel = objectAt(*usage, "modelUsage")) {
        for (const auto field : *perModel) {
            dom::object modelUsage;
            if (field.value.get(modelUsage) != simdjson::SUCCESS) continue;
            auto part = grokPartOf(toQString(field.key), modelUsage);
            if (!part) return GrokLine::skipped;
            parts.push_back(std::move(*part));
        }
    }
    auto whole = grokPartOf(std::nullopt, *usage);
    if (!whole) return GrokLine::skipped;
    if (parts.empty()) parts.push_back(std::move(*whole));
    return GrokLine::turn;
}

void readGrokUpdates(FileEntry& entry, const OpenLog& log, ParseScratch& scratch) {
    GrokFacts facts;
    if (entry.offset == 0 || !facts.decode(entry.facts)) {
        entry.restart();
        facts = GrokFacts{};
    }
    // The session's project and model may change between reads; the summary is small, so it
    // is read every time.
    const QString folder = QFileInfo(entry.path).path();
    CliLogParsing::TextFile file;
    const std::optional<GrokSummary> summary = readGrokSummary(file, scratch.dom, folder);
    entry.session = summary && !summary->id.isEmpty() ? summary->id : QFileInfo(folder).fileName();
    entry.project = summary ? summary->project : QStringLiteral("unknown");
    entry.subordinate = summary && summary->hidden;
    const QString model = summary ? summary->model : QString();
    // Turns carry no time of their own: a turn belongs to the hour the file was last written.
    const Hour hour = hourOf(log.modifiedAt);
    std::vector<std::pair<GrokFacts::Turn, Counts>> parts;
    const std::int64_t done = scratch.tail.read(
        log.fd, entry.offset, log.size,
        [&](std::string_view line) {
            const GrokLine turn = grokTurnOf(scratch.dom, line, parts);
            if (turn == GrokLine::skipped) ++entry.skippedLines;
            if (turn != GrokLine::turn) return;
            for (auto& [part, counts] : parts) {
                entry.add(hour, part.model.value_or(model), 0, counts);
                facts.turns.push_back(std::move(part));
            }
            if (!entry.subordinate) {
                Counts prompt;
                prompt.prompts = 1;
                entry.add(hour, model, 0, prompt);
            }
        },
        log.progress);
    if (done >= 0) entry.offset = done;
    entry.facts = facts.encode();
}

}  // namespace

void readGrok(FileEntry& entry, const OpenLog& log, ParseScratch& scratch) {
    if (QFileInfo(entry.path).fileName() == QLatin1String("updates.jsonl"))
        readGrokUpdates(entry, log, scratch);
    else
        readGrokSession(entry, log, scratch);
}

}  // namespace qm::ledger
