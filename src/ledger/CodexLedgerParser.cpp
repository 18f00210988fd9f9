#include <QFileInfo>
#include <algorithm>
#include <optional>

#include "ledger/ByteCodec.h"
#include "ledger/LedgerParsers.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

namespace qm::ledger {
namespace {

namespace dom = simdjson::dom;
using CliLogParsing::tokenCount;
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
        return r.ok() && r.atEnd();
    }
};

class CodexLines {
public:
    CodexLines(FileEntry& entry, CodexState& state) : entry_(entry), s_(state) {}

    void handle(const dom::object& object);

private:
    void meta(const dom::object& payload, std::optional<TimeMs> at);
    void tokens(const dom::object& payload, bool& inherited);
    void prompt(std::string_view text, bool inherited);

    // Prompts from user message items count only while the file shows no typed-prompt event.
    std::uint8_t itemFlag() const { return s_.sawTypedEvent ? 0 : kItemPrompt; }
    void dropItemPrompts();

    static constexpr std::uint8_t kItemPrompt = 0x80;
    FileEntry& entry_;
    CodexState& s_;
};

void CodexLines::handle(const dom::object& object) {
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
    bool inherited = s_.replaying || (s_.hasForkAt && at && *at < s_.forkAt);
    if (type == "turn_context" && payload) {
        if (auto model = textAt(*payload, "model"); model && !model->empty()) {
            s_.model = toQString(*model);
            s_.modelFromTurn = true;
        }
    } else if (!s_.modelFromTurn && s_.model.isEmpty()) {
        auto model = payload ? textAt(*payload, "model") : std::nullopt;
        if (!model || model->empty()) model = textAt(object, "model");
        if (model && !model->empty()) s_.model = toQString(*model);
    }
    if (payload && payloadType == "token_count") tokens(*payload, inherited);
    if (payload && type == "event_msg" && payloadType == "user_message") {
        if (!s_.sawTypedEvent) dropItemPrompts();
        s_.sawTypedEvent = true;
        prompt(textAt(*payload, "message").value_or(""), inherited);
    } else if (!s_.sawTypedEvent && payload &&
               textAt(*payload, "role") == std::optional<std::string_view>("user")) {
        prompt(firstContentText(*payload).value_or(""), inherited);
    }
}

void CodexLines::meta(const dom::object& payload, std::optional<TimeMs> at) {
    const std::string_view id = textAt(payload, "id").value_or("");
    if (!s_.metaSeen) {
        s_.metaSeen = true;
        s_.ownId = QByteArray(id.data(), qsizetype(id.size()));
        if (!id.empty()) entry_.session = toQString(id);
        s_.isSubagent = isSubagentSource(payload);
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

void CodexLines::tokens(const dom::object& payload, bool& inherited) {
    const auto info = objectAt(payload, "info");
    const auto totals = info ? objectAt(*info, "total_token_usage") : std::nullopt;
    if (!totals) return;
    using CliLogParsing::int64;
    const Totals t{
        tokenCount(int64(*totals, {"input_tokens", "prompt_tokens"})),
        tokenCount(int64(*totals, {"cached_input_tokens", "input_cached_tokens", "cached_tokens"})),
        tokenCount(int64(*totals, {"output_tokens", "completion_tokens"})),
        tokenCount(int64(*totals, {"reasoning_output_tokens"}))};
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
    if (inherited || delta == Counts{}) return;
    delta.calls = 1;
    const std::uint8_t flags = delta.input > kLargeCallInput ? kLargeCalls : 0;
    entry_.add(hourOf(s_.lastAt), s_.model, flags, delta);
}

void CodexLines::prompt(std::string_view text, bool inherited) {
    if (inherited || s_.isSubagent || !CliLogParsing::isRealUserPrompt(text)) return;
    Counts one;
    one.prompts = 1;
    entry_.add(hourOf(s_.lastAt), s_.model, itemFlag(), one);
}

void CodexLines::dropItemPrompts() {
    std::erase_if(entry_.rows, [](const HourRow& row) { return row.flags & kItemPrompt; });
}

// Most of a rollout's bytes are the model's replies and tool output, which count for nothing
// here; their line's head says what they are (the serializer writes "role" before "content").
bool isReplyOrToolOutput(std::string_view line) {
    const std::string_view head = line.substr(0, 200);
    return CliLogParsing::containsBytes(head, R"("type":"response_item")") &&
           !CliLogParsing::containsBytes(head, R"("role":"user")");
}

}  // namespace

void readCodex(FileEntry& entry, const OpenLog& log, ParseScratch& scratch) {
    CodexState state;
    if (entry.offset == 0 || !state.decode(entry.state)) {
        entry.restart();
        state = CodexState{};
    }
    if (state.lastAt == 0) state.lastAt = log.modifiedAt;
    if (entry.session.isEmpty()) entry.session = QFileInfo(entry.path).completeBaseName();
    CodexLines lines(entry, state);
    const std::int64_t done = scratch.tail.read(
        log.fd, entry.offset, log.size,
        [&](std::string_view line) {
            if (state.modelFromTurn && !entry.project.isEmpty() && isReplyOrToolOutput(line)) {
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
}

}  // namespace qm::ledger
