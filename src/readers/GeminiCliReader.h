#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

#include "core/UsageModels.h"

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

    // Whether any file's name looks like a credential (only names are looked at).
    bool hasAuthHint() const;
    QStringList candidateFiles() const;

private:
    QString geminiDirectory_;
};

}  // namespace qm
