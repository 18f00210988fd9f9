#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

#include "ledger/LedgerRecords.h"

// What the readers of the agents that log each call with its time (OpenCode, Qwen Code) keep
// of a session, in one form for all of them: the calls and prompts as rows, the recent ones
// as records for the five-hour summaries, and the session's facts.
namespace qm::ledger {

struct AgentFacts {
    QString task;   // the first prompt, as the session's task
    QString model;  // of the newest call
    std::optional<TimeMs> startedAt;
    std::optional<TimeMs> lastActiveAt;

    enum RecordKind : std::uint8_t {
        kCall = 1,    // detail: encodeCall()
        kPrompt = 2,  // value: 1
    };

    QByteArray encode() const;
    // False when the bytes are not facts this version writes.
    bool decode(const QByteArray& bytes);
    static QByteArray encodeCall(const QString& model, std::uint8_t flags, const Counts& counts);
    static bool decodeCall(const QByteArray& bytes, QString& model, std::uint8_t& flags,
                           Counts& counts);
    bool operator==(const AgentFacts&) const = default;
};

// The facts of `entry` while a reader adds to them; written back by finish().
class AgentSession {
public:
    explicit AgentSession(FileEntry& entry);

    // One call at `at` of `model`: its counts (calls = 1, input holding every kind of input,
    // output holding reasoning, costNanos what the tool recorded or 0). A call whose figures
    // break the rule for figures from outside is counted as a skipped line instead.
    void addCall(TimeMs at, const QString& model, const Counts& counts);
    // One prompt the person typed at `at`; `text` becomes the task when there is none yet.
    void addPrompt(TimeMs at, const QString& model, const QString& text);
    // Rows in one order, and the facts into the entry.
    void finish();

    AgentFacts& facts() { return facts_; }

private:
    void touch(TimeMs at);

    FileEntry& entry_;
    AgentFacts facts_;
    TimeMs horizon_;
};

}  // namespace qm::ledger
