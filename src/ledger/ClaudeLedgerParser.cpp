#include <QDir>
#include <QFileInfo>
#include <string>
#include <unordered_map>

#include "ledger/ByteCodec.h"
#include "ledger/LedgerParsers.h"
#include "ledger/SessionFacts.h"
#include "readers/ClaudeCodeReader.h"
#include "readers/ClaudeTranscriptLine.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

namespace qm::ledger {
namespace {

using namespace ClaudeTranscript;
using CliLogParsing::addCounts;
using readers::toQString;

// Anthropic's counts as the index keeps them: input holds every kind of input.
Counts countsOf(const AnthropicTokens& t) {
    Counts c;
    c.cachedInput = t.cacheRead;
    c.cacheWrite = addCounts(t.cacheWrite5m, t.cacheWrite1h);
    c.cacheWrite1h = t.cacheWrite1h;
    c.input = addCounts(addCounts(t.input, t.cacheRead), c.cacheWrite);
    c.output = t.output;
    c.calls = 1;
    return c;
}

AnthropicTokens tokensOf(const Counts& c) {
    return {c.input - c.cachedInput - c.cacheWrite, c.output, c.cachedInput,
            c.cacheWrite - c.cacheWrite1h, c.cacheWrite1h};
}

std::uint8_t flagsOf(const Counts& c) {
    return c.input > kLargeCallInput ? kLargeCalls : 0;
}

class TranscriptLines {
public:
    TranscriptLines(FileEntry& entry, TimeMs modifiedAt) : entry_(entry), lastAt_(modifiedAt) {
        for (std::size_t i = 0; i < entry_.calls.size(); ++i)
            byKey_.emplace(entry_.calls[i].key, i);
        if (!entry_.models.empty()) lastModel_ = entry_.models.back();
    }

    void handle(const LineFacts& facts) {
        if (facts.kind == LineKind::other) return;
        // An error the tool reports as a reply never reached the API.
        if (facts.kind == LineKind::assistant && (facts.apiError || facts.model == "<synthetic>")) {
            return;
        }
        if (!facts.timestamp.empty()) {
            if (const auto at = CliLogParsing::date(facts.timestamp)) lastAt_ = *at;
        }
        if (entry_.project.isEmpty() && !facts.cwd.empty()) {
            entry_.project = CliLogParsing::projectName(toQString(facts.cwd));
        }
        if (facts.kind == LineKind::assistant) {
            if (facts.hasUsage) request(facts);
            return;
        }
        if (entry_.subordinate || !isTypedPrompt(facts)) return;
        if (facts.uuid.empty()) {
            Counts one;
            one.prompts = 1;
            entry_.add(hourOf(lastAt_), currentModel(), 0, one);
        } else {
            entry_.prompts.push_back(
                {hash64(facts.uuid), hourOf(lastAt_), entry_.modelIndex(currentModel())});
        }
    }

private:
    // A prompt belongs to the model that answered last (the first one's, for an opening prompt).
    QString currentModel() const { return entry_.models.empty() ? QString() : lastModel_; }

    void request(const LineFacts& facts) {
        AnthropicTokens tokens = facts.tokens;
        // Writes without their lifetimes, or beyond them, are five-minute writes: the default.
        const std::int64_t split = addCounts(tokens.cacheWrite5m, tokens.cacheWrite1h);
        if (facts.cacheWrites > split) {
            tokens.cacheWrite5m = addCounts(tokens.cacheWrite5m, facts.cacheWrites - split);
        }
        const QString model = toQString(facts.model);
        lastModel_ = model.isEmpty() ? QStringLiteral("unknown") : model;
        const Counts counts = countsOf(tokens);
        // Checked before the repeated lines of a request are merged, which keep the largest.
        if (!plausibleCall(hourOf(lastAt_), counts)) return;
        if (facts.requestId.empty() && facts.messageId.empty()) {
            entry_.add(hourOf(lastAt_), model, flagsOf(counts), counts);
            return;
        }
        keyText_.assign(facts.requestId);
        keyText_.push_back('\n');
        keyText_.append(facts.messageId);
        const std::uint64_t key = hash64(keyText_);
        const auto [it, inserted] = byKey_.try_emplace(key, entry_.calls.size());
        if (inserted) {
            entry_.calls.push_back(
                {key, hourOf(lastAt_), entry_.modelIndex(model), flagsOf(counts), counts});
            return;
        }
        // The lines of one request repeat its usage; a line written while the reply still
        // streamed may hold less, so the largest figure of each kind stands.
        KeyedCall& first = entry_.calls[it->second];
        const AnthropicTokens a = tokensOf(first.counts);
        const AnthropicTokens merged{
            std::max(a.input, tokens.input), std::max(a.output, tokens.output),
            std::max(a.cacheRead, tokens.cacheRead), std::max(a.cacheWrite5m, tokens.cacheWrite5m),
            std::max(a.cacheWrite1h, tokens.cacheWrite1h)};
        // Lines that each keep the rule may not together: this one is then skipped.
        if (!withinRule(merged)) {
            ++entry_.skippedLines;
            return;
        }
        first.counts = countsOf(merged);
        first.flags = flagsOf(first.counts);
    }

    FileEntry& entry_;
    TimeMs lastAt_;
    QString lastModel_;
    std::unordered_map<std::uint64_t, std::size_t> byKey_;
    std::string keyText_;
};

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
    std::optional<ClaudeCodeReader::TranscriptFacts> read;
    if (entry.offset > 0) read = decodeTranscript(entry.facts);
    if (!read) {
        entry.restart();
        nameSession(entry);
        read.emplace();
    }
    std::unordered_map<std::uint64_t, std::size_t> requestByKey;
    for (std::size_t i = 0; i < read->requests.size(); ++i) {
        if (read->requests[i].keyed) requestByKey.emplace(read->requests[i].key, i);
    }
    TranscriptLines lines(entry, log.modifiedAt);
    const std::int64_t done = scratch.tail.read(
        log.fd, entry.offset, log.size,
        [&](std::string_view line) {
            if (isToolResultLine(line)) return;
            LineFacts facts;
            if (readLine(scratch.ondemand, line, facts) != simdjson::SUCCESS) return;
            if (facts.outOfRange) {
                ++entry.skippedLines;
                return;
            }
            lines.handle(facts);
            ClaudeCodeReader::addLine(*read, requestByKey, facts, entry.subordinate);
        },
        log.progress);
    if (done >= 0) entry.offset = done;
    entry.facts = encodeTranscript(*read);
}

}  // namespace qm::ledger
