#include "ledger/SessionFacts.h"

#include <algorithm>

#include "core/UsageFigures.h"
#include "ledger/ByteCodec.h"
#include "readers/CliLogParsing.h"

namespace qm::ledger {
namespace {

QByteArray bytesOf(ByteWriter& w) {
    return QByteArray(w.bytes().data(), qsizetype(w.bytes().size()));
}

void putOptionalTime(ByteWriter& w, const std::optional<TimeMs>& at) {
    w.put(std::uint8_t(at.has_value()));
    w.put(at.value_or(0));
}

bool getOptionalTime(ByteReader& r, std::optional<TimeMs>& at) {
    std::uint8_t has = 0;
    TimeMs value = 0;
    r.get(has);
    r.get(value);
    at = has ? std::optional<TimeMs>(value) : std::nullopt;
    return r.ok();
}

void putWindow(ByteWriter& w, const std::optional<PlanWindow>& window) {
    w.put(std::uint8_t(window.has_value()));
    if (!window) return;
    w.put(window->usedPercent);
    w.put(window->windowMinutes);
    putOptionalTime(w, window->resetsAt);
}

bool getWindow(ByteReader& r, std::optional<PlanWindow>& window) {
    std::uint8_t has = 0;
    if (!r.get(has)) return false;
    if (!has) {
        window.reset();
        return true;
    }
    PlanWindow value;
    r.get(value.usedPercent);
    r.get(value.windowMinutes);
    getOptionalTime(r, value.resetsAt);
    window = value;
    return r.ok();
}

void putLimits(ByteWriter& w, const CodexPlanLimits& limits) {
    putWindow(w, limits.fiveHour);
    putWindow(w, limits.weekly);
    w.putText(limits.planType);
    w.put(limits.observedAt);
}

bool getLimits(ByteReader& r, CodexPlanLimits& limits) {
    getWindow(r, limits.fiveHour);
    getWindow(r, limits.weekly);
    r.getText(limits.planType);
    r.get(limits.observedAt);
    return r.ok();
}

void putTokens(ByteWriter& w, const CodexFacts::Tokens& t) {
    w.put(t.input);
    w.put(t.cached);
    w.put(t.output);
}

// Facts read back from the index keep the rule for figures from outside, as the lines they
// came from did; facts that do not are no facts this program wrote.
bool allCounts(std::initializer_list<std::int64_t> counts) {
    return std::all_of(counts.begin(), counts.end(),
                       [](std::int64_t n) { return UsageFigures::isTokenCount(n); });
}

bool getTokens(ByteReader& r, CodexFacts::Tokens& t) {
    r.get(t.input);
    r.get(t.cached);
    r.get(t.output);
    return r.ok() && allCounts({t.input, t.cached, t.output});
}

void putModels(ByteWriter& w, const std::vector<CodexFacts::ModelTokens>& models) {
    w.put(std::uint32_t(models.size()));
    for (const auto& entry : models) {
        w.putText(entry.model);
        putTokens(w, entry.tokens);
    }
}

bool getModels(ByteReader& r, std::vector<CodexFacts::ModelTokens>& models) {
    std::uint32_t n = 0;
    if (!r.get(n) || std::size_t(n) * 28 > r.remaining()) return false;
    models.resize(n);
    for (auto& entry : models) {
        r.getText(entry.model);
        getTokens(r, entry.tokens);
    }
    return r.ok();
}

void putPrompts(ByteWriter& w, const CodexFacts::Prompts& p) {
    w.put(p.count);
    w.put(p.untimed);
    w.putText(p.task);
}

bool getPrompts(ByteReader& r, CodexFacts::Prompts& p) {
    r.get(p.count);
    r.get(p.untimed);
    r.getText(p.task);
    return r.ok() && allCounts({p.count, p.untimed});
}

bool getCount(ByteReader& r, std::int64_t& n) {
    return r.get(n) && UsageFigures::isTokenCount(n);
}

}  // namespace

QByteArray CodexFacts::encode() const {
    ByteWriter w;
    w.put(std::uint8_t(hasTotalUsage | isSubagent << 1 | sawTypedEvent << 2 |
                       planLimits.has_value() << 3));
    w.putText(model);
    putTokens(w, tokens);
    putModels(w, byModel);
    w.put(untimedWindowTokens);
    putModels(w, lineUsage);
    w.put(untimedLineWindowTokens);
    putPrompts(w, typed);
    putPrompts(w, items);
    putOptionalTime(w, startedAt);
    putOptionalTime(w, endedAt);
    if (planLimits) putLimits(w, *planLimits);
    return bytesOf(w);
}

bool CodexFacts::decode(const QByteArray& bytes) {
    ByteReader r(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    std::uint8_t bits = 0;
    r.get(bits);
    hasTotalUsage = bits & 1;
    isSubagent = bits & 2;
    sawTypedEvent = bits & 4;
    r.getText(model);
    const bool read =
        getTokens(r, tokens) && getModels(r, byModel) && getCount(r, untimedWindowTokens) &&
        getModels(r, lineUsage) && getCount(r, untimedLineWindowTokens) && getPrompts(r, typed) &&
        getPrompts(r, items) && getOptionalTime(r, startedAt) && getOptionalTime(r, endedAt);
    if (!read) return false;
    planLimits.reset();
    if (bits & 8) {
        CodexPlanLimits limits;
        if (!getLimits(r, limits)) return false;
        planLimits = std::move(limits);
    }
    return r.ok() && r.atEnd();
}

bool GrokFacts::withinRule(const Turn& turn) {
    return UsageFigures::isCallTokens({turn.input, turn.output}) &&
           UsageFigures::isTokenCount(turn.cached) &&
           (!turn.ticks || UsageFigures::isCostUsd(*turn.ticks / kTicksPerUsd));
}

QByteArray GrokFacts::encode() const {
    ByteWriter w;
    w.put(std::uint32_t(turns.size()));
    for (const Turn& turn : turns) {
        w.put(std::uint8_t(turn.model.has_value() | turn.ticks.has_value() << 1));
        w.putText(turn.model.value_or(QString()));
        w.put(turn.input);
        w.put(turn.cached);
        w.put(turn.output);
        w.put(turn.ticks.value_or(0));
    }
    return bytesOf(w);
}

bool GrokFacts::decode(const QByteArray& bytes) {
    ByteReader r(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    std::uint32_t n = 0;
    if (!r.get(n) || std::size_t(n) * 37 > r.remaining()) return false;
    turns.resize(n);
    for (Turn& turn : turns) {
        std::uint8_t bits = 0;
        QString model;
        double ticks = 0;
        r.get(bits);
        r.getText(model);
        r.get(turn.input);
        r.get(turn.cached);
        r.get(turn.output);
        r.get(ticks);
        turn.model = bits & 1 ? std::optional<QString>(model) : std::nullopt;
        turn.ticks = bits & 2 ? std::optional<double>(ticks) : std::nullopt;
        if (!withinRule(turn)) return false;
    }
    return r.ok() && r.atEnd();
}

QByteArray GrokSessionFacts::encode() const {
    ByteWriter w;
    w.put(std::uint8_t(listed | hidden << 1 | estimated << 2));
    w.putText(id);
    w.putText(task);
    w.putText(model);
    w.put(contextTokens);
    w.put(prompts);
    putOptionalTime(w, startedAt);
    putOptionalTime(w, lastActiveAt);
    return bytesOf(w);
}

bool GrokSessionFacts::decode(const QByteArray& bytes) {
    ByteReader r(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    std::uint8_t bits = 0;
    r.get(bits);
    listed = bits & 1;
    hidden = bits & 2;
    estimated = bits & 4;
    r.getText(id);
    r.getText(task);
    r.getText(model);
    const bool read = getCount(r, contextTokens) && getCount(r, prompts) &&
                      getOptionalTime(r, startedAt) && getOptionalTime(r, lastActiveAt);
    return read && bits < 8 && r.atEnd();
}

Counts claudeCounts(const AnthropicTokens& t) {
    using CliLogParsing::addCounts;
    Counts c;
    c.cachedInput = t.cacheRead;
    c.cacheWrite = addCounts(t.cacheWrite5m, t.cacheWrite1h);
    c.cacheWrite1h = t.cacheWrite1h;
    c.input = addCounts(addCounts(t.input, t.cacheRead), c.cacheWrite);
    c.output = t.output;
    c.calls = 1;
    return c;
}

AnthropicTokens claudeTokens(const Counts& c) {
    return {c.input - c.cachedInput - c.cacheWrite, c.output, c.cachedInput,
            c.cacheWrite - c.cacheWrite1h, c.cacheWrite1h};
}

QByteArray ClaudeFacts::encode() const {
    ByteWriter w;
    w.putText(model);
    w.putText(project);
    w.putText(task);
    putOptionalTime(w, startedAt);
    putOptionalTime(w, lastActiveAt);
    return bytesOf(w);
}

bool ClaudeFacts::decode(const QByteArray& bytes) {
    ByteReader r(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    r.getText(model);
    r.getText(project);
    r.getText(task);
    getOptionalTime(r, startedAt);
    getOptionalTime(r, lastActiveAt);
    return r.ok() && r.atEnd();
}

QByteArray ClaudeFacts::encodeCall(std::uint64_t key, const QString& model,
                                   const AnthropicTokens& t) {
    ByteWriter w;
    w.put(key);
    w.putText(model);
    for (const std::int64_t n : {t.input, t.output, t.cacheRead, t.cacheWrite5m, t.cacheWrite1h})
        w.put(n);
    return bytesOf(w);
}

bool ClaudeFacts::decodeCall(const QByteArray& bytes, std::uint64_t& key, QString& model,
                             AnthropicTokens& t) {
    ByteReader r(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    r.get(key);
    r.getText(model);
    for (std::int64_t* v : {&t.input, &t.output, &t.cacheRead, &t.cacheWrite5m, &t.cacheWrite1h})
        r.get(*v);
    return r.ok() && r.atEnd() && ClaudeTranscript::withinRule(t);
}

QByteArray encodeChat(const std::vector<GeminiChat::ChatItem>& items) {
    ByteWriter w;
    w.put(std::uint32_t(items.size()));
    for (const GeminiChat::ChatItem& item : items) {
        const GeminiChat::ChatRecord& r = item.record;
        w.put(std::uint8_t(item.namesSession | r.isPrompt << 1));
        w.putText(item.id);
        w.put(r.at);
        w.putText(r.prompt);
        w.putText(r.model);
        for (const std::int64_t n : {r.input, r.cached, r.output, r.thoughts}) w.put(n);
    }
    return bytesOf(w);
}

std::optional<std::vector<GeminiChat::ChatItem>> decodeChat(const QByteArray& bytes) {
    ByteReader r(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    std::uint32_t n = 0;
    if (!r.get(n) || std::size_t(n) * 53 > r.remaining()) return std::nullopt;
    std::vector<GeminiChat::ChatItem> items(n);
    for (GeminiChat::ChatItem& item : items) {
        GeminiChat::ChatRecord& record = item.record;
        std::uint8_t bits = 0;
        r.get(bits);
        item.namesSession = bits & 1;
        record.isPrompt = bits & 2;
        r.getText(item.id);
        r.get(record.at);
        r.getText(record.prompt);
        r.getText(record.model);
        for (std::int64_t* v : {&record.input, &record.cached, &record.output, &record.thoughts})
            r.get(*v);
        if (!GeminiChat::withinRule(record)) return std::nullopt;
    }
    if (!r.ok() || !r.atEnd()) return std::nullopt;
    return items;
}

QByteArray GeminiLogFacts::encodeUsage(const GeminiCliReader::UsageEvent& event) {
    ByteWriter w;
    w.putText(event.model);
    for (const std::int64_t n :
         {event.inputTokens, event.outputTokens, event.totalTokens, event.prompts})
        w.put(n);
    w.putText(event.task);
    return bytesOf(w);
}

std::optional<GeminiCliReader::UsageEvent> GeminiLogFacts::decodeUsage(const RecentRecord& record) {
    ByteReader r(std::string_view(record.detail.constData(), std::size_t(record.detail.size())));
    GeminiCliReader::UsageEvent event;
    event.at = record.at;
    r.getText(event.model);
    for (std::int64_t* v :
         {&event.inputTokens, &event.outputTokens, &event.totalTokens, &event.prompts})
        r.get(*v);
    r.getText(event.task);
    const bool counts = allCounts({event.inputTokens, event.outputTokens, event.totalTokens}) &&
                        (event.prompts == 0 || event.prompts == 1);
    if (!r.ok() || !r.atEnd() || !counts) return std::nullopt;
    return event;
}

QByteArray GeminiLogFacts::encodePrompt(const GeminiChat::LoggedPrompt& prompt) {
    ByteWriter w;
    w.putText(prompt.sessionId);
    w.putText(prompt.task);
    return bytesOf(w);
}

std::optional<GeminiChat::LoggedPrompt> GeminiLogFacts::decodePrompt(const RecentRecord& record) {
    ByteReader r(std::string_view(record.detail.constData(), std::size_t(record.detail.size())));
    GeminiChat::LoggedPrompt prompt;
    prompt.at = record.at;
    r.getText(prompt.sessionId);
    r.getText(prompt.task);
    if (!r.ok() || !r.atEnd()) return std::nullopt;
    return prompt;
}

QByteArray encodePlanLimits(const CodexPlanLimits& limits) {
    ByteWriter w;
    putLimits(w, limits);
    return bytesOf(w);
}

std::optional<CodexPlanLimits> decodePlanLimits(const QByteArray& bytes) {
    ByteReader r(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    CodexPlanLimits limits;
    if (!getLimits(r, limits) || !r.atEnd()) return std::nullopt;
    return limits;
}

}  // namespace qm::ledger
