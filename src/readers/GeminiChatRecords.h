#pragma once

#include <simdjson.h>

#include <QFileInfo>
#include <QHash>
#include <QString>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/UsageModels.h"

// The Gemini CLI's chat recordings ("chats/session-*.jsonl" and the earlier "session-*.json"
// documents), its logs.json prompt log and its checkpoints, as the usage index reads them.
namespace qm::GeminiChat {

// What one record of a chat session contributes. Model turns carry the tokens of their call;
// user records are prompts only when they hold text the person typed (tool results are
// recorded as user records too, holding function responses).
struct ChatRecord {
    TimeMs at = 0;
    bool isPrompt = false;
    QString prompt;
    QString model;
    std::int64_t input = 0;  // includes `cached`
    std::int64_t cached = 0;
    std::int64_t output = 0;
    std::int64_t thoughts = 0;
};

// A session of the chat recordings: its records by id (a record appended again with more
// tokens replaces the earlier copy), in order of first appearance.
struct ChatSession {
    QString key;
    QString project;
    bool spawned = false;  // an agent the model started: its usage counts, it is no session
    std::vector<ChatRecord> records;
    QHash<QString, std::size_t> index;

    void put(const QString& id, ChatRecord record) {
        if (id.isEmpty()) {
            records.push_back(std::move(record));
            return;
        }
        const auto found = index.constFind(id);
        if (found != index.constEnd()) {
            records[*found] = std::move(record);
            return;
        }
        index.insert(id, records.size());
        records.push_back(std::move(record));
    }
};

// One line of a chat recording as the summary takes it: a record, or the session the records
// after it belong to (a recording's metadata line).
struct ChatItem {
    bool namesSession = false;
    QString id;  // the record's id, or the session's when `namesSession`
    ChatRecord record;
};

// One prompt of logs.json, with the session it belongs to: the prompts of sessions that older
// versions kept only there.
struct LoggedPrompt {
    QString sessionId;
    TimeMs at = 0;
    QString task;  // the prompt as a session's task (CliLogParsing::shortenedTask)
};

enum class FileKind { chatSession, promptLog, checkpoint, other };

// The kind of a file found under the Gemini directory, judged by its name and folder.
FileKind kindOf(const QFileInfo& info);
// A recording below a session's own folder is an agent the model spawned.
bool isSpawnedAgent(const QFileInfo& info);
// The project folder under tmp/: newer versions name it after the project; older ones use a
// hash of the path, which says nothing to a person ("Gemini CLI" then).
QString projectOf(const QFileInfo& info);

// The id and contribution of one chat record; none for metadata, "$set" and "$rewindTo"
// lines, status lines (info, warning, error), a record whose counts are out of range (below)
// and anything else.
std::optional<std::pair<QString, ChatRecord>> chatRecord(const simdjson::dom::object& object,
                                                         TimeMs modifiedAt);
// What one object of a recording holds for the summary, if anything: the session it names, or
// its record.
std::optional<ChatItem> chatItem(const simdjson::dom::object& object, TimeMs modifiedAt);

// Whether a record's tokens keep the rule for figures from outside (UsageFigures), each kind
// and all together: a model turn that does not is no usage and is skipped whole.
bool withinRule(const ChatRecord& record);
bool countsInRange(const simdjson::dom::object& object);

}  // namespace qm::GeminiChat
