#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include "ledger/LedgerParsers.h"
#include "ledger/SessionFacts.h"
#include "readers/CliLogParsing.h"
#include "readers/GeminiChatRecords.h"
#include "readers/ReaderSupport.h"

namespace qm::ledger {
namespace {

namespace dom = simdjson::dom;
using CliLogParsing::addCounts;
using readers::objectAt;
using readers::textAt;
using readers::toQString;

// The session folder's summary.json names the project and the model a turn's usage leaves out.
void readGrokSummary(FileEntry& entry, ParseScratch& scratch, QString& model) {
    const QString folder = QFileInfo(entry.path).path();
    entry.session = QFileInfo(folder).fileName();
    entry.project = QStringLiteral("unknown");
    QFile file(folder + QStringLiteral("/summary.json"));
    if (file.size() > (1 << 20) || !file.open(QIODevice::ReadOnly)) return;
    const QByteArray bytes = file.readAll();
    dom::object root;
    if (scratch.dom.parse(bytes.constData(), std::size_t(bytes.size())).get(root) !=
        simdjson::SUCCESS) {
        return;
    }
    const auto info = objectAt(root, "info");
    if (info) {
        if (const auto id = textAt(*info, "id"); id && !id->empty()) entry.session = toQString(*id);
    }
    const std::string_view cwd = info ? textAt(*info, "cwd").value_or("") : std::string_view();
    const std::string_view gitRoot = textAt(root, "git_root_dir").value_or("");
    entry.project = CliLogParsing::projectName(toQString(!gitRoot.empty() ? gitRoot : cwd));
    model = toQString(textAt(root, "current_model_id").value_or(""));
    bool hidden = false;
    entry.subordinate = (root.at_key("hidden").get(hidden) == simdjson::SUCCESS && hidden) ||
                        textAt(root, "session_kind").value_or("").starts_with("subagent");
}

// A turn's counts, found in range by the summary reader's look at the same line.
Counts grokCounts(const dom::object& usage) {
    using CliLogParsing::tokenCountAt;
    Counts c;
    c.input = tokenCountAt(usage, {"inputTokens"}).value_or(0);
    c.cachedInput = tokenCountAt(usage, {"cachedReadTokens"}).value_or(0);
    c.output = tokenCountAt(usage, {"outputTokens"}).value_or(0);
    c.reasoning = tokenCountAt(usage, {"reasoningTokens"}).value_or(0);
    c.calls = 1;
    return c;
}

}  // namespace

void readGrok(FileEntry& entry, const OpenLog& log, ParseScratch& scratch) {
    QString summaryModel;
    GrokFacts facts;
    if (entry.offset == 0 || !facts.decode(entry.facts)) {
        entry.restart();
        facts = GrokFacts{};
    }
    // The model may change between reads; the summary is small, so it is read every time.
    readGrokSummary(entry, scratch, summaryModel);
    // Turns carry no time of their own: a turn belongs to the hour the file was last written.
    const Hour hour = hourOf(log.modifiedAt);
    const std::int64_t done = scratch.tail.read(
        log.fd, entry.offset, log.size,
        [&](std::string_view line) {
            if (!CliLogParsing::containsBytes(line, "turn_completed")) return;
            const auto turn = GrokCliReader::addTurnLine(scratch.dom, line, facts.turns);
            if (turn == GrokCliReader::TurnLine::skipped) ++entry.skippedLines;
            if (turn != GrokCliReader::TurnLine::turn) return;
            dom::object object;
            if (scratch.dom.parse(line.data(), line.size(), false).get(object) !=
                simdjson::SUCCESS) {
                return;
            }
            const auto params = objectAt(object, "params");
            const auto update = params ? objectAt(*params, "update") : std::nullopt;
            if (!update || textAt(*update, "sessionUpdate") !=
                               std::optional<std::string_view>("turn_completed")) {
                return;
            }
            const auto usage = objectAt(*update, "usage");
            if (!usage) return;
            bool split = false;
            if (const auto perModel = objectAt(*usage, "modelUsage")) {
                for (const auto field : *perModel) {
                    dom::object modelUsage;
                    if (field.value.get(modelUsage) != simdjson::SUCCESS) continue;
                    entry.add(hour, toQString(field.key), 0, grokCounts(modelUsage));
                    split = true;
                }
            }
            if (!split) entry.add(hour, summaryModel, 0, grokCounts(*usage));
            if (!entry.subordinate) {
                Counts turn;
                turn.prompts = 1;
                entry.add(hour, summaryModel, 0, turn);
            }
        },
        log.progress);
    if (done >= 0) entry.offset = done;
    entry.facts = facts.encode();
}

namespace {

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

}  // namespace

void readGemini(FileEntry& entry, const OpenLog& log, ParseScratch& scratch) {
    entry.restart();
    const QFileInfo info(entry.path);
    entry.project = GeminiChat::projectOf(info);
    entry.subordinate = GeminiChat::isSpawnedAgent(info);
    entry.session = entry.subordinate ? info.dir().dirName() : info.completeBaseName();
    GeminiChat::ChatSession chat;
    std::vector<GeminiCliReader::ChatItem> items;
    const auto take = [&](const dom::object& object) {
        if (!GeminiChat::countsInRange(object)) {
            ++entry.skippedLines;
            return;
        }
        GeminiCliReader::addChatItem(object, log.modifiedAt, items);
        if (auto record = GeminiChat::chatRecord(object, log.modifiedAt)) {
            chat.put(record->first, std::move(record->second));
        }
    };
    if (entry.path.endsWith(QLatin1String(".jsonl"))) {
        const std::int64_t done = scratch.tail.read(
            log.fd, 0, log.size,
            [&](std::string_view line) {
                dom::object object;
                if (scratch.dom.parse(line.data(), line.size(), false).get(object) ==
                    simdjson::SUCCESS) {
                    take(object);
                }
            },
            log.progress);
        entry.offset = done < 0 ? 0 : done;
    } else {
        // A whole document: the earlier recordings, rewritten in place after every turn.
        QFile file(entry.path);
        if (!file.open(QIODevice::ReadOnly)) return;
        const QByteArray bytes = file.read(log.size);
        if (log.progress) log.progress(bytes.size());
        dom::element root;
        dom::array messages;
        dom::object document;
        if (scratch.dom.parse(bytes.constData(), std::size_t(bytes.size())).get(root) ==
                simdjson::SUCCESS &&
            root["messages"].get(messages) == simdjson::SUCCESS) {
            if (root.get(document) == simdjson::SUCCESS) {
                GeminiCliReader::addChatItem(document, log.modifiedAt, items);
            }
            for (dom::element message : messages) {
                dom::object object;
                if (message.get(object) == simdjson::SUCCESS) take(object);
            }
        }
        entry.offset = bytes.size();
    }
    addChatRecords(entry, chat.records);
    entry.facts = encodeChat(items);
}

}  // namespace qm::ledger
