#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "core/UsageModels.h"
#include "readers/GeminiChatRecords.h"

namespace qm {

// Best-effort scan of the usage records the Gemini command-line tools leave under ~/.gemini:
// log-like files in log-like folders, several JSON shapes, several spellings of every key.
// Only records inside the recent window count, so every figure describes that window.
class GeminiCliReader {
public:
    static constexpr std::uint64_t kMaxLineFileBytes = 20'000'000;

    explicit GeminiCliReader(QString geminiDirectory);

    // Never fails: problems become warnings. Files last modified before `since` and files
    // named like credentials are never opened.
    ProviderUsage readUsageSync(TimeMs since) const;

    // One line of a chat recording as the summary takes it: a record, or the session the
    // records after it belong to.
    struct ChatItem {
        bool namesSession = false;
        QString id;  // the record's id, or the session's when `namesSession`
        GeminiChat::ChatRecord record;
    };
    // Adds what one object of a recording holds to `items`.
    static void addChatItem(const simdjson::dom::object& object, TimeMs modifiedAt,
                            std::vector<ChatItem>& items);

    // The summary with each chat recording's items from `chatOf(path)` where it has them,
    // rather than by reading the file: what readUsageSync() does with recordings read elsewhere
    // (the usage index). The other files are read as readUsageSync() reads them.
    using ChatSource = std::function<std::optional<std::vector<ChatItem>>(const QString& path)>;
    ProviderUsage summarize(TimeMs since, const ChatSource& chatOf) const;

    // Whether any file's name looks like a credential (only names are looked at).
    bool hasAuthHint() const;
    QStringList candidateFiles() const;

private:
    QString geminiDirectory_;
};

}  // namespace qm
