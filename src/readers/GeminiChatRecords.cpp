#include "readers/GeminiChatRecords.h"

#include <QDir>
#include <QRegularExpression>

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

}  // namespace

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
        if (const auto tokens = objectAt(object, "tokens")) {
            using CliLogParsing::int64;
            using CliLogParsing::tokenCount;
            record.input = tokenCount(int64(*tokens, {"input"}));
            record.cached = tokenCount(int64(*tokens, {"cached"}));
            record.output = tokenCount(int64(*tokens, {"output"}));
            record.thoughts = tokenCount(int64(*tokens, {"thoughts"}));
        }
    }
    return std::make_pair(toQString(textAt(object, "id").value_or("")), std::move(record));
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
