#include "ledger/AgentRecords.h"

#include <algorithm>
#include <tuple>

#include "core/Clock.h"
#include "ledger/ByteCodec.h"
#include "readers/CliLogParsing.h"

namespace qm::ledger {
namespace {

QByteArray agentBytes(ByteWriter& w) {
    return QByteArray(w.bytes().data(), qsizetype(w.bytes().size()));
}

void putAgentTime(ByteWriter& w, const std::optional<TimeMs>& at) {
    w.put(std::uint8_t(at.has_value()));
    w.put(at.value_or(0));
}

void getAgentTime(ByteReader& r, std::optional<TimeMs>& at) {
    std::uint8_t has = 0;
    TimeMs value = 0;
    r.get(has);
    r.get(value);
    at = has ? std::optional<TimeMs>(value) : std::nullopt;
}

}  // namespace

QByteArray AgentFacts::encode() const {
    ByteWriter w;
    w.putText(task);
    w.putText(model);
    putAgentTime(w, startedAt);
    putAgentTime(w, lastActiveAt);
    return agentBytes(w);
}

bool AgentFacts::decode(const QByteArray& bytes) {
    *this = {};
    if (bytes.isEmpty()) return true;
    ByteReader r(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    r.getText(task);
    r.getText(model);
    getAgentTime(r, startedAt);
    getAgentTime(r, lastActiveAt);
    return r.ok() && r.atEnd();
}

QByteArray AgentFacts::encodeCall(const QString& model, std::uint8_t flags, const Counts& c) {
    ByteWriter w;
    w.putText(model);
    w.put(flags);
    for (const std::int64_t n : {c.input, c.cachedInput, c.cacheWrite, c.cacheWrite1h, c.output,
                                 c.reasoning, c.prompts, c.calls, c.costNanos})
        w.put(n);
    return agentBytes(w);
}

bool AgentFacts::decodeCall(const QByteArray& bytes, QString& model, std::uint8_t& flags,
                            Counts& c) {
    ByteReader r(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    r.getText(model);
    r.get(flags);
    for (std::int64_t* v : {&c.input, &c.cachedInput, &c.cacheWrite, &c.cacheWrite1h, &c.output,
                            &c.reasoning, &c.prompts, &c.calls, &c.costNanos})
        r.get(*v);
    return r.ok() && r.atEnd() && countsInRange(c);
}

AgentSession::AgentSession(FileEntry& entry) : entry_(entry), horizon_(systemNow() - kRecentSpan) {
    entry_.need(kAllParts);
    // Facts of another version are rebuilt from what is read next; the rows stand.
    if (!facts_.decode(entry_.facts)) facts_ = {};
}

void AgentSession::touch(TimeMs at) {
    if (!facts_.startedAt || at < *facts_.startedAt) facts_.startedAt = at;
    if (!facts_.lastActiveAt || at > *facts_.lastActiveAt) facts_.lastActiveAt = at;
    entry_.lastActiveAt = std::max(entry_.lastActiveAt, at);
}

void AgentSession::addCall(TimeMs at, const QString& model, const Counts& counts) {
    const Hour hour = hourOf(at);
    if (!plausibleCall(hour, counts)) {
        entry_.skippedLines += 1;
        return;
    }
    std::uint8_t flags = counts.costNanos > 0 ? kRecordedCost : 0;
    if (counts.input > kLargeCallInput) flags |= kLargeCalls;
    entry_.add(hour, model, flags, counts);
    if (at >= horizon_) {
        entry_.recent.push_back(
            {at, AgentFacts::kCall, 0, AgentFacts::encodeCall(model, flags, counts)});
    }
    touch(at);
    facts_.model = model;
}

void AgentSession::addPrompt(TimeMs at, const QString& model, const QString& text) {
    if (entry_.subordinate) return;
    Counts one;
    one.prompts = 1;
    entry_.add(hourOf(at), model, 0, one);
    if (at >= horizon_) entry_.recent.push_back({at, AgentFacts::kPrompt, 1, {}});
    touch(at);
    if (facts_.task.isEmpty()) facts_.task = CliLogParsing::shortenedTask(text.left(4096));
}

void AgentSession::finish() {
    // One order however the reads were split, so that an entry read in pieces equals one read
    // whole: by hour, model and kind, alike rows merged where the sum keeps the rule.
    std::vector<HourRow>& rows = entry_.rows;
    std::stable_sort(rows.begin(), rows.end(), [](const HourRow& a, const HourRow& b) {
        return std::tie(a.hour, a.model, a.flags) < std::tie(b.hour, b.model, b.flags);
    });
    std::size_t merged = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (merged > 0) {
            HourRow& last = rows[merged - 1];
            if (std::tie(last.hour, last.model, last.flags) ==
                std::tie(rows[i].hour, rows[i].model, rows[i].flags)) {
                Counts sum = last.counts;
                sum += rows[i].counts;
                if (countsInRange(sum)) {
                    last.counts = sum;
                    continue;
                }
            }
        }
        rows[merged++] = rows[i];
    }
    rows.resize(merged);
    std::stable_sort(entry_.recent.begin(), entry_.recent.end(),
                     [](const RecentRecord& a, const RecentRecord& b) { return a.at < b.at; });
    entry_.facts = facts_.encode();
}

}  // namespace qm::ledger
