#include <QFileInfo>
#include <algorithm>
#include <optional>

#include "core/Clock.h"
#include "core/UsageFigures.h"
#include "ledger/ByteCodec.h"
#include "ledger/LedgerParsers.h"
#include "ledger/SessionFacts.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

namespace qm::ledger {
namespace {

namespace dom = simdjson::dom;
using readers::firstContentText;
using readers::isSubagentSource;
using readers::objectAt;
using readers::textAt;
using readers::toQString;

struct Totals {
    std::int64_t input = 0;  // includes cached
    std::int64_t cached = 0;
    std::int64_t output = 0;  // includes reasoning
    std::int64_t reasoning = 0;
};

// Where a rollout's reading stands between two reads.
struct CodexState {
    bool metaSeen = false;
    QByteArray ownId;
    bool isSubagent = false;
    bool hasForkAt = false;
    TimeMs forkAt = 0;       // lines stamped before it were copied from the parent
    bool replaying = false;  // inside the parent history a sub-agent replays
    QString model;
    bool modelFromTurn = false;
    Totals baseline;  // the last cumulative totals seen
    bool sawTypedEvent = false;
    TimeMs lastAt = 0;  // for lines without a time stamp

    QByteArray encode() const {
        ByteWriter w;
        w.put<std::uint8_t>(std::uint8_t(metaSeen | isSubagent << 1 | hasForkAt << 2 |
                                         replaying << 3 | modelFromTurn << 4 | sawTypedEvent << 5));
        w.putBytes(ownId);
        w.put(forkAt);
        w.putText(model);
        w.put(baseline.input);
        w.put(baseline.cached);
        w.put(baseline.output);
        w.put(baseline.reasoning);
        w.put(lastAt);
        return QByteArray(w.bytes().data(), qsizetype(w.bytes().size()));
    }
    bool decode(const QByteArray& bytes) {
        ByteReader r(std::string_view(bytes.constData(), std::size_t(bytes.size())));
        std::uint8_t bits = 0;
        r.get(bits);
        r.getBytes(ownId);
        r.get(forkAt);
        r.getText(model);
        r.get(baseline.input);
        r.get(baseline.cached);
        r.get(baseline.output);
        r.get(baseline.reasoning);
        r.get(lastAt);
        metaSeen = bits & 1;
        isSubagent = bits & 2;
        hasForkAt = bits & 4;
        replaying = bits & 8;
        modelFromTurn = bits & 16;
        sawTypedEvent = bits & 32;
        // Totals read back keep the rule the lines they came from kept.
        const bool inRange = UsageFigures::isTokenCount(baseline.input) &&
                             UsageFigures::isTokenCount(baseline.cached) &&
                             UsageFigures::isTokenCount(baseline.output) &&
                             UsageFigures::isTokenCount(baseline.reasoning);
        return r.ok() && r.atEnd() && inRange;
    }
};

class CodexLines {
public:
    CodexLines(FileEntry& entry, CodexState& state, CodexFacts& facts)
        : entry_(entry), s_(state), f_(facts) {}

    // One parsed line; a line whose counts break the rule for figures from outside is skipped
    // whole and counted as skipped.
    void handle(const dom::object& object);
    // A line passed over unparsed still says when the session was active.
    void stampOnly(std::optional<TimeMs> at);

private:
    void meta(const dom::object& payload, std::optional<TimeMs> at);
    void model(const dom::object& object, std::string_view type,
               const std::optional<dom::object>& payload);
    void tokens(const dom::object& payload, std::optional<TimeMs> at, bool& inherited);
    void limits(const dom::object& limits, std::optional<TimeMs> at, bool inherited);
    void prompt(std::string_view text, std::optional<TimeMs> at, bool inherited, bool typed);
    void lineUsage(const dom::object& object, std::optional<TimeMs> at);
    void active(std::optional<TimeMs> at, bool inherited);
    bool inheritedAt(std::optional<TimeMs> at) const {
        return s_.replaying || (s_.hasForkAt && at && *at < s_.forkAt);
    }
    // A number the summary counts only inside its window; without a time stamp, always.
    void windowed(std::optional<TimeMs> at, std::uint8_t kind, std::int64_t value,
                  std::int64_t& untimed);

    // Prompts from user message items count only while the file shows no typed-prompt event.
    std::uint8_t itemFlag() const { return s_.sawTypedEvent ? 0 : kItemPrompt; }
    void dropItemPrompts();

    static constexpr std::uint8_t kItemPrompt = 0x80;
    // Usage an early rollout reports on its lines: it counts only while no totals appear.
    static constexpr std::uint8_t kLineUsage = 0x40;
    FileEntry& entry_;
    CodexState& s_;
    CodexFacts& f_;
};

void CodexLines::handle(const dom::object& object) {
    if (!readers::codexCountsInRange(object)) {
        ++entry_.skippedLines;
        return;
    }
    const auto stamp = textAt(object, "timestamp");
    const std::optional<TimeMs> at = stamp ? CliLogParsing::date(*stamp) : std::nullopt;
    if (at) s_.lastAt = *at;
    const std::string_view type = textAt(object, "type").value_or("");
    const auto payload = objectAt(object, "payload");
    const std::string_view payloadType =
        payload ? textAt(*payload, "type").value_or("") : std::string_view();
    if (entry_.project.isEmpty()) {
        auto cwd = textAt(object, "cwd");
        if ((!cwd || cwd->empty()) && payload) cwd = textAt(*payload, "cwd");
        if (cwd && !cwd->empty()) entry_.project = CliLogParsing::projectName(toQString(*cwd));
    }
    if (type == "session_meta" && payload) meta(*payload, at);
    bool inherited = inheritedAt(at);
    model(object, type, payload);
    if (payload && payloadType == "token_count") tokens(*payload, at, inherited);
    active(at, inherited);
    if (payload && type == "event_msg" && payloadType == "user_message") {
        if (!s_.sawTypedEvent) dropItemPrompts();
        s_.sawTypedEvent = f_.sawTypedEvent = true;
        prompt(textAt(*payload, "message").value_or(""), at, inherited, true);
    } else if (!s_.sawTypedEvent && payload &&
               textAt(*payload, "role") == std::optional<std::string_view>("user")) {
        prompt(firstContentText(*payload).value_or(""), at, inherited, false);
    }
    if (!f_.hasTotalUsage && !inherited) lineUsage(object, at);
}

void CodexLines::stampOnly(std::optional<TimeMs> at) {
    if (at) s_.lastAt = *at;
    active(at, inheritedAt(at));
}

void CodexLines::active(std::optional<TimeMs> at, bool inherited) {
    if (inherited || !at) return;
    if (!f_.startedAt || *at < *f_.startedAt) f_.startedAt = at;
    if (!f_.endedAt || *at > *f_.endedAt) f_.endedAt = at;
}

void CodexLines::model(const dom::object& object, std::string_view type,
                       const std::optional<dom::object>& payload) {
    if (type == "turn_context" && payload) {
        if (auto model = textAt(*payload, "model"); model && !model->empty()) {
            s_.model = toQString(*model);
            s_.modelFromTurn = true;
        }
    } else if (!s_.modelFromTurn && s_.model.isEmpty()) {
        // Early rollouts name the model on other lines.
        auto model = payload ? textAt(*payload, "model") : std::nullopt;
        if (!model || model->empty()) model = textAt(object, "model");
        if (model && !model->empty()) s_.model = toQString(*model);
    }
    f_.model = s_.model;
}

void CodexLines::meta(const dom::object& payload, std::optional<TimeMs> at) {
    const std::string_view id = textAt(payload, "id").value_or("");
    if (!s_.metaSeen) {
        s_.metaSeen = true;
        s_.ownId = QByteArray(id.data(), qsizetype(id.size()));
        if (!id.empty()) entry_.session = toQString(id);
        s_.isSubagent = f_.isSubagent = isSubagentSource(payload);
        const auto parent = textAt(payload, "forked_from_id");
        if (parent && !parent->empty() && at) {
            s_.hasForkAt = true;
            s_.forkAt = *at;
        }
    } else if (s_.isSubagent &&
               id != std::string_view(s_.ownId.constData(), std::size_t(s_.ownId.size()))) {
        s_.replaying = true;
    }
}

void CodexLines::windowed(std::optional<TimeMs> at, std::uint8_t kind, std::int64_t value,
                          std::int64_t& untimed) {
    if (at) {
        entry_.recent.push_back({*at, kind, value, {}});
    } else {
        untimed = CliLogParsing::addCounts(untimed, value);
    }
}

void addTo(std::vector<CodexFacts::ModelTokens>& list, const QString& model,
           const CodexFacts::Tokens& tokens) {
    using CliLogParsing::addCounts;
    for (auto& entry : list) {
        if (entry.model == model) {
            entry.tokens = {addCounts(entry.tokens.input, tokens.input),
                            addCounts(entry.tokens.cached, tokens.cached),
                            addCounts(entry.tokens.output, tokens.output)};
            return;
        }
    }
    list.push_back({model, tokens});
}

void CodexLines::tokens(const dom::object& payload, std::optional<TimeMs> at, bool& inherited) {
    if (const auto found = objectAt(payload, "rate_limits")) limits(*found, at, inherited);
    const auto info = objectAt(payload, "info");
    const auto totals = info ? objectAt(*info, "total_token_usage") : std::nullopt;
    if (!totals) return;
    // In range: the line was checked before it was handled.
    const readers::CodexCounts read =
        readers::codexTotals(*totals).value_or(readers::CodexCounts{});
    const Totals t{read.input, read.cached, read.output, read.reasoning};
    const Totals& b = s_.baseline;
    // Totals only grow inside one conversation; a drop means counting began afresh.
    const bool restart = t.input < b.input || t.cached < b.cached || t.output < b.output;
    if (restart && s_.replaying) s_.replaying = inherited = false;
    Counts delta;
    delta.input = restart ? t.input : t.input - b.input;
    delta.cachedInput = restart ? t.cached : t.cached - b.cached;
    delta.output = restart ? t.output : t.output - b.output;
    delta.reasoning = std::max<std::int64_t>(0, restart ? t.reasoning : t.reasoning - b.reasoning);
    s_.baseline = t;
    if (inherited) return;
    if (!f_.hasTotalUsage) {
        std::erase_if(entry_.rows, [](const HourRow& row) { return row.flags & kLineUsage; });
    }
    f_.hasTotalUsage = true;
    const CodexFacts::Tokens turn{delta.input, delta.cachedInput, delta.output};
    if (turn != CodexFacts::Tokens{}) {
        addTo(f_.byModel, s_.model, turn);
        f_.tokens = {CliLogParsing::addCounts(f_.tokens.input, turn.input),
                     CliLogParsing::addCounts(f_.tokens.cached, turn.cached),
                     CliLogParsing::addCounts(f_.tokens.output, turn.output)};
        windowed(at, CodexFacts::kWindowTokens, CliLogParsing::addCounts(turn.input, turn.output),
                 f_.untimedWindowTokens);
    }
    if (delta == Counts{}) return;
    delta.calls = 1;
    const std::uint8_t flags = delta.input > kLargeCallInput ? kLargeCalls : 0;
    entry_.add(hourOf(s_.lastAt), s_.model, flags, delta);
}

void CodexLines::limits(const dom::object& limits, std::optional<TimeMs> at, bool inherited) {
    std::optional<CodexPlanLimits> found = readers::codexPlanLimits(limits, at);
    if (!found) return;
    // Copied lines repeat the parent's reports; a replay even restamps them.
    if (at && !inherited) {
        entry_.recent.push_back({*at, CodexFacts::kPlanReading, 0, encodePlanLimits(*found)});
    }
    if (f_.planLimits && found->observedAt < f_.planLimits->observedAt) return;
    f_.planLimits = std::move(found);
}

void CodexLines::prompt(std::string_view text, std::optional<TimeMs> at, bool inherited,
                        bool typed) {
    if (inherited || s_.isSubagent || !CliLogParsing::isRealUserPrompt(text)) return;
    CodexFacts::Prompts& prompts = typed ? f_.typed : f_.items;
    ++prompts.count;
    windowed(at, typed ? CodexFacts::kTypedPrompt : CodexFacts::kItemPrompt, 1, prompts.untimed);
    // Only the head can become the task: 4 KB of UTF-8 hold at least the 1024 UTF-16 units
    // a task is cut from.
    if (prompts.task.isEmpty()) {
        prompts.task = CliLogParsing::shortenedTask(toQString(text.substr(0, 4 * 1024)));
    }
    Counts one;
    one.prompts = 1;
    entry_.add(hourOf(s_.lastAt), s_.model, itemFlag(), one);
}

// Early rollouts: usage on the line itself, under one of a few keys, the first object wins.
void CodexLines::lineUsage(const dom::object& object, std::optional<TimeMs> at) {
    const auto usage = readers::codexLineUsageObject(object);
    if (!usage) return;
    const readers::CodexCounts read =
        readers::codexLineUsage(*usage).value_or(readers::CodexCounts{});
    const CodexFacts::Tokens t{read.input, read.cached, read.output};
    addTo(f_.lineUsage, s_.model, t);
    windowed(at, CodexFacts::kLineWindowTokens, CliLogParsing::addCounts(t.input, t.output),
             f_.untimedLineWindowTokens);
    Counts counts;
    counts.input = t.input;
    counts.cachedInput = t.cached;
    counts.output = t.output;
    counts.calls = 1;
    const std::uint8_t flags = kLineUsage | (t.input > kLargeCallInput ? kLargeCalls : 0);
    entry_.add(hourOf(s_.lastAt), s_.model, flags, counts);
}

void CodexLines::dropItemPrompts() {
    std::erase_if(entry_.rows, [](const HourRow& row) { return row.flags & kItemPrompt; });
    std::erase_if(entry_.recent, [](const RecentRecord& record) {
        return record.kind == CodexFacts::kItemPrompt;
    });
}

// Most of a rollout's bytes are the model's replies and tool output, which count for nothing
// here; their line's head says what they are (the serializer writes "role" before "content").
bool isReplyOrToolOutput(std::string_view line) {
    const std::string_view head = line.substr(0, 200);
    return CliLogParsing::containsBytes(head, R"("type":"response_item")") &&
           !CliLogParsing::containsBytes(head, R"("role":"user")");
}

// The time stamp the tool writes first on every line, read without parsing the line.
std::optional<TimeMs> leadingStamp(std::string_view line) {
    constexpr std::string_view key = R"("timestamp":")";
    const std::size_t start = line.substr(0, 64).find(key);
    if (start == std::string_view::npos) return std::nullopt;
    const std::string_view rest = line.substr(start + key.size(), 64);
    const std::size_t end = rest.find('"');
    if (end == std::string_view::npos) return std::nullopt;
    return CliLogParsing::date(rest.substr(0, end));
}

}  // namespace

void readCodex(FileEntry& entry, const OpenLog& log, ParseScratch& scratch) {
    CodexState state;
    CodexFacts facts;
    if (entry.offset == 0 || !state.decode(entry.state) || !facts.decode(entry.facts)) {
        entry.restart();
        state = CodexState{};
        facts = CodexFacts{};
    }
    if (state.lastAt == 0) state.lastAt = log.modifiedAt;
    if (entry.session.isEmpty()) entry.session = QFileInfo(entry.path).completeBaseName();
    CodexLines lines(entry, state, facts);
    const std::int64_t done = scratch.tail.read(
        log.fd, entry.offset, log.size,
        [&](std::string_view line) {
            if (state.modelFromTurn && !entry.project.isEmpty() && isReplyOrToolOutput(line)) {
                lines.stampOnly(leadingStamp(line));
                return;
            }
            dom::object object;
            if (scratch.dom.parse(line.data(), line.size(), false).get(object) !=
                simdjson::SUCCESS) {
                return;
            }
            lines.handle(object);
        },
        log.progress);
    if (done >= 0) entry.offset = done;
    entry.state = state.encode();
    entry.facts = facts.encode();
    entry.pruneRecent(systemNow() - kRecentSpan);
}

}  // namespace qm::ledger
