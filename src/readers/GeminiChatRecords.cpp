#include "readers/GeminiChatRecords.h"

#include <QDir>
#include <QRegularExpression>

#include "core/UsageFigures.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

namespace qm::GeminiChat {
namespace {

namespace dom = simdjson::dom;
using readers::objectAt;
using readers::textAt;
using readers::toQString;

std::optional<std::string_view> typedText(const dom::object& record) {
    dom::element content;
    if (record.at_key("content").get(content) != simdjson::SUCCESS) return std::nullopt;
    std::string_view text;
    if (content.get(text) == simdjson::SUCCESS) return text;
    dom::array parts;
    if (content.get(parts) != simdjson::SUCCESS) return std::nullopt;
    for (dom::element part : parts) {
        dom::object object;
        if (part.get(object) != simdjson::SUCCESS) continue;
        if (auto partText = textAt(object, "text"); partText && !partText->empty()) return partText;
    }
    return std::nullopt;
}

// A model turn's tokens into `record`; false when one breaks the rule.
bool readTokens(const dom::object& object, ChatRecord& record) {
    const auto tokens = objectAt(object, "tokens");
    if (!tokens) return true;
    using CliLogParsing::tokenCountAt;
    const auto input = tokenCountAt(*tokens, {"input"});
    const auto cached = tokenCountAt(*tokens, {"cached"});
    const auto output = tokenCountAt(*tokens, {"output"});
    const auto thoughts = tokenCountAt(*tokens, {"thoughts"});
    if (!input || !cached || !output || !thoughts) return false;
    record.input = *input;
    record.cached = *cached;
    record.output = *output;
    record.thoughts = *thoughts;
    return withinRule(record);
}

}  // namespace

bool withinRule(const ChatRecord& record) {
    return UsageFigures::isCallTokens({record.input, record.output, record.thoughts}) &&
           UsageFigures::isTokenCount(record.cached);
}

bool countsInRange(const dom::object& object) {
    ChatRecord record;
    return textAt(object, "type") != std::optional<std::string_view>("gemini") ||
           readTokens(object, record);
}

std::optional<std::pair<QString, ChatRecord>> chatRecord(const dom::object& object,
                                                         TimeMs modifiedAt) {
    const std::string_view type = textAt(object, "type").value_or("");
    if (type != "user" && type != "gemini") return std::nullopt;
    ChatRecord record;
    const auto stamp = textAt(object, "timestamp");
    record.at = (stamp ? CliLogParsing::date(*stamp) : std::nullopt).value_or(modifiedAt);
    if (type == "user") {
        const auto text = typedText(object);
        if (!text) return std::nullopt;
        record.prompt = toQString(*text);
        record.isPrompt = CliLogParsing::isRealUserPrompt(record.prompt);
        if (!record.isPrompt) return std::nullopt;
    } else {
        record.model = toQString(textAt(object, "model").value_or(""));
        if (!readTokens(object, record)) return std::nullopt;
    }
    return std::make_pair(toQString(textAt(object, "id").value_or("")), std::move(record));
}

std::optional<ChatItem> chatItem(const dom::object& object, TimeMs modifiedAt) {
    if (auto id = textAt(object, "sessionId"); id && !id->empty()) {
        return ChatItem{true, toQString(*id), {}};
    }
    if (auto record = chatRecord(object, modifiedAt)) {
        return ChatItem{false, std::move(record->first), std::move(record->second)};
    }
    return std::nullopt;
}

FileKind kindOf(const QFileInfo& info) {
    const QString name = info.fileName();
    if (name == QLatin1String("logs.json")) return FileKind::promptLog;
    if (name.startsWith(QLatin1String("checkpoint-")) && name.endsWith(QLatin1String(".json"))) {
        return FileKind::checkpoint;
    }
    // Recordings of spawned agents sit in a folder per parent session below "chats".
    const bool recording =
        (name.endsWith(QLatin1String(".jsonl")) || name.endsWith(QLatin1String(".json"))) &&
        info.filePath().contains(QLatin1String("/chats/"));
    if (recording) return FileKind::chatSession;
    return FileKind::other;
}

bool isSpawnedAgent(const QFileInfo& info) {
    return info.dir().dirName() != QLatin1String("chats");
}

QString projectOf(const QFileInfo& info) {
    QDir dir = info.dir();
    while (dir.dirName() != QLatin1String("chats") && dir.cdUp() && !dir.isRoot()) {
    }
    if (dir.dirName() == QLatin1String("chats")) dir.cdUp();
    const QString name = dir.dirName();
    static const QRegularExpression hash(QStringLiteral("^[0-9a-f]{32,}$"));
    if (name.isEmpty() || hash.match(name).hasMatch() || name == QLatin1String("tmp")) {
        return QStringLiteral("Gemini CLI");
    }
    return name;
}

}  // namespace qm::GeminiChat
