#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "ledger/ByteCodec.h"
#include "ledger/LedgerParsers.h"
#include "ledger/SessionFacts.h"
#include "readers/ClaudeTranscriptLine.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

namespace qm::ledger {
namespace {

using namespace ClaudeTranscript;
using CliLogParsing::addCounts;
using readers::toQString;

std::uint8_t flagsOf(const Counts& c) {
    return c.input > kLargeCallInput ? kLargeCalls : 0;
}

// The last requests of a file kept with their figures: a request's lines follow each other, so
// one whose lines a later read goes on with is among them.
constexpr std::size_t kOpenCalls = 16;

// One transcript's lines, read in order into its entry and facts: requests and prompts with ids
// are left pending for the update to settle (see PendingCall).
class TranscriptLines {
public:
    TranscriptLines(FileEntry& entry, ClaudeFacts& facts, TimeMs modifiedAt)
        : entry_(entry), facts_(facts), lastAt_(modifiedAt) {
        for (std::size_t i = 0; i < entry_.open.size(); ++i)
            openByKey_.emplace(entry_.open[i].key, i);
    }

    void handle(const LineFacts& facts);

private:
    // A prompt belongs to the model that answered last (the first one's, for an opening prompt).
    QString currentModel() const { return entry_.models.empty() ? QString() : facts_.model; }

    void prompt(const LineFacts& facts);
    void request(const LineFacts& facts);
    void keyedRequest(std::uint64_t key, const AnthropicTokens& tokens, const KeyedCall& call);
    bool raise(KeyedCall& call, const AnthropicTokens& tokens);
    void raiseRecent(std::uint64_t key, const KeyedCall& call);

    FileEntry& entry_;
    ClaudeFacts& facts_;
    TimeMs lastAt_;
    std::unordered_map<std::uint64_t, std::size_t> openByKey_;
    // The index in pendingCalls and the place among the keyed requests of this read.
    std::unordered_map<std::uint64_t, std::pair<std::size_t, std::size_t>> pendingByKey_;
    std::size_t keyed_ = 0;
    std::unordered_set<std::uint64_t> pendingPrompts_;
    std::string keyText_;
};

void TranscriptLines::handle(const LineFacts& facts) {
    if (facts.kind == LineKind::other) return;
    // An error the tool reports as a reply never reached the API.
    if (facts.kind == LineKind::assistant && (facts.apiError || facts.model == "<synthetic>")) {
        return;
    }
    if (!facts.timestamp.empty()) {
        if (const auto at = CliLogParsing::date(facts.timestamp)) {
            lastAt_ = *at;
            if (!facts_.startedAt || *at < *facts_.startedAt) facts_.startedAt = at;
            if (!facts_.lastActiveAt || *at > *facts_.lastActiveAt) facts_.lastActiveAt = at;
        }
    }
    if (facts_.project.isEmpty() && !facts.cwd.empty()) {
        facts_.project = CliLogParsing::projectName(toQString(facts.cwd));
    }
    if (entry_.project.isEmpty()) entry_.project = facts_.project;
    if (facts.kind == LineKind::assistant) {
        if (facts.hasUsage) request(facts);
        return;
    }
    if (!entry_.subordinate && isTypedPrompt(facts)) prompt(facts);
}

void TranscriptLines::prompt(const LineFacts& facts) {
    PendingPrompt prompt;
    if (!facts.uuid.empty()) {
        prompt.key = promptKey(hash64(facts.uuid));
        // A prompt this file already holds (a line written twice) was typed once.
        if (std::binary_search(entry_.keys.begin(), entry_.keys.end(), prompt.key) ||
            !pendingPrompts_.insert(prompt.key).second)
            return;
    }
    prompt.at = lastAt_;
    prompt.model = currentModel();
    // 4 KB of UTF-8 hold more than the characters a task is cut to.
    prompt.task = CliLogParsing::shortenedTask(toQString(facts.text->substr(0, 4096)));
    entry_.firstHour = std::min(entry_.firstHour, hourOf(lastAt_));
    entry_.pendingPrompts.push_back(std::move(prompt));
}

void TranscriptLines::request(const LineFacts& facts) {
    AnthropicTokens tokens = facts.tokens;
    // Writes without their lifetimes, or beyond them, are five-minute writes: the default.
    const std::int64_t split = addCounts(tokens.cacheWrite5m, tokens.cacheWrite1h);
    if (facts.cacheWrites > split) {
        tokens.cacheWrite5m = addCounts(tokens.cacheWrite5m, facts.cacheWrites - split);
    }
    const QString model = toQString(facts.model);
    if (!model.isEmpty()) facts_.model = model;
    const Counts counts = claudeCounts(tokens);
    // Checked before the repeated lines of a request are merged, which keep the largest.
    if (!plausibleCall(hourOf(lastAt_), counts)) return;
    entry_.firstHour = std::min(entry_.firstHour, hourOf(lastAt_));
    const KeyedCall call{0, hourOf(lastAt_), entry_.modelIndex(model), flagsOf(counts), counts};
    if (facts.requestId.empty() && facts.messageId.empty()) {
        entry_.pendingCalls.push_back({call, lastAt_});
        return;
    }
    keyText_.assign(facts.requestId);
    keyText_.push_back('\n');
    keyText_.append(facts.messageId);
    keyedRequest(hash64(keyText_), tokens, call);
}

// Only a request among the file's last kOpenCalls can still be raised, however the reads were
// split: the figures do not depend on when the index was updated.
void TranscriptLines::keyedRequest(std::uint64_t key, const AnthropicTokens& tokens,
                                   const KeyedCall& call) {
    if (const auto it = pendingByKey_.find(key); it != pendingByKey_.end()) {
        const auto [index, ordinal] = it->second;
        if (keyed_ - ordinal <= kOpenCalls) raise(entry_.pendingCalls[index].call, tokens);
        return;
    }
    if (const auto it = openByKey_.find(key); it != openByKey_.end()) {
        if (entry_.open.size() - it->second + keyed_ > kOpenCalls) return;
        KeyedCall& open = entry_.open[it->second];
        const KeyedCall before = open;
        if (!raise(open, tokens) || open == before) return;
        // Already counted by an earlier read: counted again with its new figures.
        if (!entry_.isSkipped(key)) {
            entry_.remove(before.hour, before.model, before.flags, before.counts);
            entry_.add(open.hour, entry_.models[open.model], open.flags, open.counts);
            raiseRecent(key, open);
        }
        return;
    }
    // A request this file read long before: its figures stand.
    if (std::binary_search(entry_.keys.begin(), entry_.keys.end(), key)) return;
    pendingByKey_.emplace(key, std::pair(entry_.pendingCalls.size(), keyed_++));
    KeyedCall keyed = call;
    keyed.key = key;
    entry_.pendingCalls.push_back({keyed, lastAt_});
}

// The lines of one request repeat its usage; a line written while the reply still streamed may
// hold less, so the largest figure of each kind stands.
bool TranscriptLines::raise(KeyedCall& call, const AnthropicTokens& tokens) {
    const AnthropicTokens a = claudeTokens(call.counts);
    const AnthropicTokens merged{std::max(a.input, tokens.input), std::max(a.output, tokens.output),
                                 std::max(a.cacheRead, tokens.cacheRead),
                                 std::max(a.cacheWrite5m, tokens.cacheWrite5m),
                                 std::max(a.cacheWrite1h, tokens.cacheWrite1h)};
    // Lines that each keep the rule may not together: this one is then skipped.
    if (!withinRule(merged)) {
        ++entry_.skippedLines;
        return false;
    }
    call.counts = claudeCounts(merged);
    call.flags = flagsOf(call.counts);
    return true;
}

void TranscriptLines::raiseRecent(std::uint64_t key, const KeyedCall& call) {
    // The newest first: the request's record is among the last.
    for (std::size_t i = entry_.recent.size(); i-- > 0;) {
        RecentRecord& record = entry_.recent[i];
        std::uint64_t recordKey = 0;
        QString model;
        AnthropicTokens tokens;
        if (record.kind != ClaudeFacts::kCall ||
            !ClaudeFacts::decodeCall(record.detail, recordKey, model, tokens) || recordKey != key)
            continue;
        record.detail = ClaudeFacts::encodeCall(key, model, claudeTokens(call.counts));
        return;
    }
}

// "<project>/<session>.jsonl", or "<project>/<session>/subagents/agent-<id>.jsonl" for an
// agent the session spawned: its usage belongs to that session.
void nameSession(FileEntry& entry) {
    const QFileInfo info(entry.path);
    const QString folder = info.dir().dirName();
    entry.subordinate = folder == QLatin1String("subagents");
    entry.session =
        entry.subordinate ? QFileInfo(info.dir().path()).dir().dirName() : info.completeBaseName();
}

}  // namespace

void readClaudeCode(FileEntry& entry, const OpenLog& log, ParseScratch& scratch) {
    ClaudeFacts facts;
    if (entry.offset == 0 || !facts.decode(entry.facts)) {
        entry.restart();
        nameSession(entry);
        facts = {};
    }
    TranscriptLines lines(entry, facts, log.modifiedAt);
    const std::int64_t done = scratch.tail.read(
        log.fd, entry.offset, log.size,
        [&](std::string_view line) {
            if (isToolResultLine(line)) return;
            LineFacts read;
            if (readLine(scratch.ondemand, line, read) != simdjson::SUCCESS) return;
            if (read.outOfRange) {
                ++entry.skippedLines;
                return;
            }
            lines.handle(read);
        },
        log.progress);
    if (done >= 0) entry.offset = done;
    entry.facts = facts.encode();
}

void settleClaude(FileEntry& entry, const std::function<bool(std::uint64_t)>& counted,
                  TimeMs horizon) {
    if (entry.pendingCalls.empty() && entry.pendingPrompts.empty()) return;
    ClaudeFacts facts;
    facts.decode(entry.facts);
    std::vector<std::uint64_t> added;
    std::vector<std::uint64_t> passed;
    for (const PendingCall& pending : entry.pendingCalls) {
        const KeyedCall& call = pending.call;
        const bool here = call.key == 0 || counted(call.key);
        if (call.key != 0) {
            added.push_back(call.key);
            if (!here) passed.push_back(call.key);
            entry.open.push_back(call);
        }
        if (!here) continue;
        const QString& model = entry.models[call.model];
        entry.add(call.hour, model, call.flags, call.counts);
        if (pending.at >= horizon) {
            entry.recent.push_back(
                {pending.at, ClaudeFacts::kCall, 0,
                 ClaudeFacts::encodeCall(call.key, model, claudeTokens(call.counts))});
        }
    }
    for (const PendingPrompt& prompt : entry.pendingPrompts) {
        const bool here = prompt.key == 0 || counted(prompt.key);
        if (prompt.key != 0) {
            added.push_back(prompt.key);
            if (!here) passed.push_back(prompt.key);
        }
        if (!here) continue;
        Counts one;
        one.prompts = 1;
        entry.add(hourOf(prompt.at), prompt.model, 0, one);
        if (prompt.at >= horizon) entry.recent.push_back({prompt.at, ClaudeFacts::kPrompt, 1, {}});
        if (facts.task.isEmpty()) facts.task = prompt.task;
    }
    const auto mergeSorted = [](std::vector<std::uint64_t>& into,
                                std::vector<std::uint64_t>& more) {
        std::sort(more.begin(), more.end());
        const std::size_t middle = into.size();
        into.insert(into.end(), more.begin(), more.end());
        std::inplace_merge(into.begin(), into.begin() + std::ptrdiff_t(middle), into.end());
        into.erase(std::unique(into.begin(), into.end()), into.end());
    };
    mergeSorted(entry.keys, added);
    mergeSorted(entry.skipped, passed);
    if (entry.open.size() > kOpenCalls)
        entry.open.erase(entry.open.begin(), entry.open.end() - std::ptrdiff_t(kOpenCalls));
    entry.pendingCalls.clear();
    entry.pendingPrompts.clear();
    // In one order however the reads were split: by hour, model and kind, those alike merged.
    std::stable_sort(entry.rows.begin(), entry.rows.end(), [](const HourRow& a, const HourRow& b) {
        return std::tie(a.hour, a.model, a.flags) < std::tie(b.hour, b.model, b.flags);
    });
    std::size_t merged = 0;
    for (std::size_t i = 0; i < entry.rows.size(); ++i) {
        HourRow& last = entry.rows[merged > 0 ? merged - 1 : 0];
        if (merged > 0 &&
            std::tie(last.hour, last.model, last.flags) ==
                std::tie(entry.rows[i].hour, entry.rows[i].model, entry.rows[i].flags)) {
            Counts sum = last.counts;
            sum += entry.rows[i].counts;
            if (countsInRange(sum)) {
                last.counts = sum;
                continue;
            }
        }
        entry.rows[merged++] = entry.rows[i];
    }
    entry.rows.resize(merged);
    std::stable_sort(entry.recent.begin(), entry.recent.end(),
                     [](const RecentRecord& a, const RecentRecord& b) { return a.at < b.at; });
    entry.facts = facts.encode();
}

}  // namespace qm::ledger
