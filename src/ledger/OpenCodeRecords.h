#pragma once

#include <simdjson.h>

#include <QString>
#include <optional>
#include <string_view>

#include "ledger/LedgerRecords.h"

// OpenCode's records as both of its stores hold them (the database from 1.2.0, the JSON files
// before): one place for what its fields mean in each version.
namespace qm::ledger::opencode {

// A `step-finish` part: one model call. Its tokens in the index's terms (input holding cache
// reads and writes, output holding reasoning, calls = 1) and the cost OpenCode recorded, in
// billionths of a dollar. `version` is the OpenCode version that created the session: up to
// 1.3 `output` already held the reasoning tokens, later versions log them apart. None for a
// part that is no step-finish or whose figures are not numbers.
std::optional<Counts> stepCounts(simdjson::dom::element part, std::string_view version);

// What an assistant message says of its calls: the model as "<provider>/<model>", when it
// started, and the folder it worked in.
struct MessageFacts {
    QString role;
    QString model;
    TimeMs createdAt = 0;
    TimeMs completedAt = 0;
    QString root;  // path.root, else path.cwd
    bool operator==(const MessageFacts&) const = default;
};
std::optional<MessageFacts> messageFacts(simdjson::dom::element message);

// A forked session starts with copies of every earlier message and part of its source, under
// new ids but with the messages' own start times: a call whose message started before its
// session was created is a copy, counted where it was made.
bool isForkCopy(const MessageFacts& message, TimeMs sessionCreatedAt);

// A part's id as the index keeps it among the calls a session has counted.
std::uint64_t partKey(std::string_view partId);

// The data folder: $XDG_DATA_HOME/opencode, else ~/.local/share/opencode under `home`.
QString dataDirectory(const QString& home);
// The databases OpenCode writes in `dataDirectory`: OPENCODE_DB when set (absolute, or
// relative to the folder), else every opencode*.db there (one per release channel).
QStringList databases(const QString& dataDirectory);

}  // namespace qm::ledger::opencode
