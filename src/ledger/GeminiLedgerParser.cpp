#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include "core/Clock.h"
#include "core/UsageFigures.h"
#include "ledger/FiveHourSummaries.h"
#include "ledger/LedgerParsers.h"
#include "ledger/LogTail.h"
#include "ledger/SessionFacts.h"
#include "ledger/UsageLedger.h"
#include "readers/CliLogParsing.h"
#include "readers/GeminiChatRecords.h"
#include "readers/GeminiCliReader.h"
#include "readers/ReaderSupport.h"

namespace qm::ledger {

// Gemini: the chat recordings, read whole each time they change (records are appended again
// when they change, and the earlier recordings are documents rewritten in place); logs.json
// prompt logs; and the older usage logs in several JSON shapes, several spellings of every key.
namespace geminilog {
namespace {

namespace dom = simdjson::dom;
using CliLogParsing::addCounts;
using readers::objectAt;
using readers::textAt;
using readers::toQString;
using UsageEvent = GeminiCliReader::UsageEvent;

// Usage logs in JSON lines are read up to this size; JSON documents whole.
constexpr std::uint64_t kMaxLineFileBytes = 20'000'000;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Records older than this are left out of the recent ones: no window reaches them, and the
// update would drop them.
TimeMs keptFrom() {
    return systemNow() - kRecentSpan - 3'600'000;
}

void addChatRecords(FileEntry& entry, const std::vector<GeminiChat::ChatRecord>& records) {
    for (const GeminiChat::ChatRecord& record : records) {
        Counts c;
        if (record.isPrompt) {
            if (entry.subordinate) continue;
            c.prompts = 1;
        } else {
            c.input = record.input;
            c.cachedInput = record.cached;
            // Thoughts are billed as output: the index's output includes them.
            c.output = addCounts(record.output, record.thoughts);
            c.reasoning = record.thoughts;
            c.calls = 1;
            if (c.input == 0 && c.output == 0) continue;
        }
        entry.add(hourOf(record.at), record.model, c.input > kLargeCallInput ? kLargeCalls : 0, c);
    }
}

void readRecording(FileEntry& entry, const OpenLog& log, ParseScratch& scratch) {
    const QFileInfo info(entry.path);
    entry.project = GeminiChat::projectOf(info);
    entry.subordinate = GeminiChat::isSpawnedAgent(info);
    entry.session = entry.subordinate ? info.dir().dirName() : info.completeBaseName();
    GeminiChat::ChatSession chat;
    std::vector<GeminiChat::ChatItem> items;
    const auto take = [&](const dom::object& object) {
        if (!GeminiChat::countsInRange(object)) ++entry.skippedLines;
        std::optional<GeminiChat::ChatItem> item = GeminiChat::chatItem(object, log.modifiedAt);
        if (!item) return;
        if (!item->namesSession) chat.put(item->id, item->record);
        items.push_back(std::move(*item));
    };
    const auto takeLine = [&](std::string_view line) {
        dom::object object;
        if (scratch.dom.parse(line.data(), line.size(), false).get(object) == simdjson::SUCCESS)
            take(object);
    };
    if (entry.path.endsWith(QLatin1String(".jsonl"))) {
        bool first = true;
        const std::int64_t done = scratch.tail.read(
            log.fd, 0, log.size,
            [&](std::string_view line) {
                if (first && line.starts_with(kByteOrderMark)) line.remove_prefix(3);
                first = false;
                takeLine(line);
            },
            log.progress);
        entry.offset = std::max<std::int64_t>(done, 0);
        // The last line may lack its break: the file is read whole again when it changes, so
        // it is taken now, as a complete record or not at all.
        const std::int64_t rest = log.size - entry.offset;
        if (done >= 0 && rest > 0 && std::size_t(rest) <= LogTail::kMaxLineBytes) {
            std::string tail(std::size_t(rest) + simdjson::SIMDJSON_PADDING, '\0');
            if (::pread(log.fd, tail.data(), std::size_t(rest), off_t(entry.offset)) == rest) {
                std::string_view line(tail.data(), std::size_t(rest));
                if (first && line.starts_with(kByteOrderMark)) line.remove_prefix(3);
                takeLine(line);
            }
        }
    } else {
        // A whole document: the earlier recordings, rewritten in place after every turn.
        CliLogParsing::TextFile file;
        if (file.load(entry.path, CliLogParsing::TextFile::kNoLimit)) {
            const std::string_view text = file.text();
            dom::object root;
            dom::array messages;
            if (scratch.dom.parse(text.data(), text.size(), false).get(root) == simdjson::SUCCESS) {
                take(root);
                if (root.at_key("messages").get(messages) == simdjson::SUCCESS) {
                    for (dom::element message : messages) {
                        dom::object object;
                        if (message.get(object) == simdjson::SUCCESS) take(object);
                    }
                }
            }
        }
        if (log.progress) log.progress(log.size);
        entry.offset = log.size;
    }
    addChatRecords(entry, chat.records);
    entry.facts = encodeChat(items);
}

// The first of `keys` whose value is text, if any.
std::optional<std::string_view> firstText(const dom::object& object,
                                          std::initializer_list<std::string_view> keys) {
    for (std::string_view key : keys) {
        if (auto text = textAt(object, key)) return text;
    }
    return std::nullopt;
}

QString firstPromptText(const dom::object& object) {
    for (std::string_view key : {"prompt", "user_query", "input", "query"}) {
        if (auto text = textAt(object, key); text && !text->empty()) return toQString(*text);
    }
    if (auto content = textAt(object, "content")) return toQString(*content);
    dom::element parts;
    if (object.at_key("parts").get(parts) == simdjson::SUCCESS && readers::isListOfObjects(parts)) {
        const dom::array list = parts.get_array().value_unsafe();
        for (dom::element part : list) {
            const dom::object partObject = part.get_object().value_unsafe();
            if (auto text = textAt(partObject, "text"); text && !text->empty()) {
                return toQString(*text);
            }
        }
    }
    return {};
}

// The usage a record reports, into `event`; false when a count breaks the rule for figures
// from outside (the record is then no usage).
bool readEventUsage(const dom::object& object, UsageEvent& event, std::int64_t& recordTotal) {
    using CliLogParsing::tokenCountAt;
    for (std::string_view key : {"usageMetadata", "usage", "token_usage", "metadata"}) {
        const auto usage = objectAt(object, key);
        if (!usage) continue;
        const auto input = tokenCountAt(
            *usage, {"promptTokenCount", "input_tokens", "prompt_tokens", "total_input_tokens"});
        const auto output = tokenCountAt(*usage, {"candidatesTokenCount", "output_tokens",
                                                  "completion_tokens", "total_output_tokens"});
        const auto total = tokenCountAt(*usage, {"totalTokenCount", "total_tokens", "tokens"});
        if (!input || !output || !total || !UsageFigures::isCallTokens({*input, *output}))
            return false;
        event.inputTokens = *input;
        event.outputTokens = *output;
        recordTotal = *total;
        return true;
    }
    return true;
}

enum class EventRead { nothing, skipped, event };

// One record of a usage log: a prompt, usage, or both. `timed` when it has a time of its own
// (else it takes its file's).
EventRead readEvent(const dom::object& object, TimeMs modifiedAt, UsageEvent& event, bool& timed) {
    const auto stamp = firstText(object, {"timestamp", "created_at", "time", "date"});
    const std::optional<TimeMs> at = stamp ? CliLogParsing::date(*stamp) : std::nullopt;
    timed = at.has_value();
    event.at = at.value_or(modifiedAt);
    std::int64_t recordTotal = 0;
    if (!readEventUsage(object, event, recordTotal)) return EventRead::skipped;
    event.totalTokens = addCounts(event.inputTokens, event.outputTokens);
    if (event.totalTokens < 1) event.totalTokens = recordTotal;

    const std::string_view role = firstText(object, {"role", "type"}).value_or(std::string_view());
    const QString prompt = firstPromptText(object);
    if (role == "user" || !prompt.isEmpty()) {
        event.prompts = 1;
    } else if (event.totalTokens < 1) {
        return EventRead::nothing;  // neither a prompt nor usage
    }
    event.model = toQString(
        firstText(object, {"model", "modelName", "model_name"}).value_or(std::string_view()));
    event.task = CliLogParsing::shortenedTask(prompt);
    return EventRead::event;
}

// The records of a usage log's document: a list of them, a list under one of several keys,
// or the document itself.
template <typename F>
void forEachRecord(const dom::element& root, F&& take) {
    const auto takeList = [&](const dom::element& element) {
        const dom::array list = element.get_array().value_unsafe();
        for (dom::element item : list) take(item.get_object().value_unsafe());
    };
    if (readers::isListOfObjects(root)) {
        takeList(root);
        return;
    }
    dom::object object;
    if (root.get(object) != simdjson::SUCCESS) return;
    for (std::string_view key : {"history", "entries", "messages", "records", "events"}) {
        dom::element list;
        if (object.at_key(key).get(list) == simdjson::SUCCESS && readers::isListOfObjects(list)) {
            takeList(list);
            return;
        }
    }
    take(object);
}

// Usage with its own time goes to the rows; records without one have only their file's time,
// which moves whenever the file is written, and count in the summary alone. A record that
// reports only a total says nothing of input and output, so only its prompt is a row.
void addEventRow(FileEntry& entry, const UsageEvent& event) {
    Counts c;
    c.input = event.inputTokens;
    c.output = event.outputTokens;
    c.prompts = event.prompts;
    c.calls = c.input > 0 || c.output > 0 ? 1 : 0;
    if (c.calls == 0 && c.prompts == 0) return;
    entry.add(hourOf(event.at), event.model, c.input > kLargeCallInput ? kLargeCalls : 0, c);
}

void readUsageLog(FileEntry& entry, const OpenLog& log, ParseScratch& scratch) {
    const TimeMs recentFrom = keptFrom();
    const auto take = [&](const dom::object& object) {
        UsageEvent event;
        bool timed = false;
        const EventRead read = readEvent(object, log.modifiedAt, event, timed);
        if (read == EventRead::skipped) ++entry.skippedLines;
        if (read != EventRead::event) return;
        if (timed) addEventRow(entry, event);
        if (event.at >= recentFrom) {
            entry.recent.push_back(
                {event.at, GeminiLogFacts::kUsage, 0, GeminiLogFacts::encodeUsage(event)});
        }
    };
    CliLogParsing::TextFile file;
    bool loaded = false;
    if (QFileInfo(entry.path).suffix().toLower() == QLatin1String("json")) {
        // A document is read whole; when it does not decode it may still be JSON lines.
        loaded = file.load(entry.path, CliLogParsing::TextFile::kNoLimit);
        if (!loaded) return;
        const std::string_view text = file.text();
        dom::element root;
        if (scratch.dom.parse(text.data(), text.size(), false).get(root) == simdjson::SUCCESS) {
            forEachRecord(root, take);
            return;
        }
        if (text.size() > kMaxLineFileBytes) return;
    }
    if (!loaded && !file.load(entry.path, kMaxLineFileBytes)) return;
    CliLogParsing::forEachLine(file.text(), [&](std::string_view line) {
        dom::object object;
        if (scratch.dom.parse(line.data(), line.size(), false).get(object) == simdjson::SUCCESS)
            take(object);
    });
}

// logs.json: a list of the prompts as typed. False when the file is no such list (it is then
// read as a usage log).
bool readPromptLog(FileEntry& entry, const OpenLog& log, ParseScratch& scratch) {
    CliLogParsing::TextFile file;
    if (!file.load(entry.path, CliLogParsing::TextFile::kNoLimit)) return false;
    const std::string_view text = file.text();
    dom::element root;
    if (scratch.dom.parse(text.data(), text.size(), false).get(root) != simdjson::SUCCESS ||
        !readers::isListOfObjects(root)) {
        return false;
    }
    const TimeMs recentFrom = keptFrom();
    const dom::array prompts = root.get_array().value_unsafe();
    for (dom::element item : prompts) {
        const dom::object object = item.get_object().value_unsafe();
        if (textAt(object, "type") != std::optional<std::string_view>("user")) continue;
        GeminiChat::LoggedPrompt prompt;
        prompt.sessionId = toQString(textAt(object, "sessionId").value_or(""));
        const auto stamp = textAt(object, "timestamp");
        prompt.at = (stamp ? CliLogParsing::date(*stamp) : std::nullopt).value_or(log.modifiedAt);
        const QString typed = toQString(textAt(object, "message").value_or(""));
        if (!CliLogParsing::isRealUserPrompt(typed) || prompt.at < recentFrom) continue;
        prompt.task = CliLogParsing::shortenedTask(typed);
        entry.recent.push_back(
            {prompt.at, GeminiLogFacts::kLoggedPrompt, 0, GeminiLogFacts::encodePrompt(prompt)});
    }
    return true;
}

}  // namespace
}  // namespace geminilog

void readGemini(FileEntry& entry, const OpenLog& log, ParseScratch& scratch) {
    entry.restart();
    const QFileInfo info(entry.path);
    const GeminiChat::FileKind kind = GeminiChat::kindOf(info);
    if (kind == GeminiChat::FileKind::chatSession) {
        geminilog::readRecording(entry, log, scratch);
        return;
    }
    entry.project = QStringLiteral("Gemini CLI");
    entry.session = info.dir().dirName() + QLatin1Char('/') + info.fileName();
    // The prompts of logs.json count in the summary alone, for sessions without a recording:
    // as rows they would count the recordings' prompts twice. A logs.json that is no list of
    // prompts is read as a usage log.
    if (kind != GeminiChat::FileKind::checkpoint &&
        (kind != GeminiChat::FileKind::promptLog ||
         !geminilog::readPromptLog(entry, log, scratch))) {
        geminilog::readUsageLog(entry, log, scratch);
    }
    if (log.progress) log.progress(log.size);
    entry.offset = log.size;
}

}  // namespace qm::ledger
