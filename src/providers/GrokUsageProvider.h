#pragma once

#include <QCoroTask>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

#include "core/RemoteHosts.h"
#include "providers/ProviderHttpSession.h"
#include "providers/ProviderModels.h"

namespace qm {

// xAI has no usage report: this client checks a key, describes it and lists the models it
// may use. Never throws.
class GrokUsageProvider {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{30'000};

    struct ModelList {
        bool ok = false;
        std::optional<QString> errorMessage;
        QStringList models;
        bool operator==(const ModelList&) const = default;
    };

    explicit GrokUsageProvider(QString baseUrl = RemoteHosts::xaiApi(),
                               std::chrono::milliseconds timeout = kDefaultTimeout);

    QCoro::Task<ProviderValidation> validateKey(QString apiKey) const;
    QCoro::Task<ModelList> listModels(QString apiKey) const;
    void cancel() const { session_.cancelAll(); }

    // "create_time" with or without fractional seconds; anything else has no value.
    static std::optional<std::int64_t> parseCreateTime(const std::optional<QString>& text);

private:
    ProviderHttpSession session_;
};

// Gemini has no usage report either: validation lists the models the key can see.
class GeminiUsageProvider {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{15'000};

    explicit GeminiUsageProvider(QString baseUrl = RemoteHosts::geminiApi(),
                                 std::chrono::milliseconds timeout = kDefaultTimeout);

    QCoro::Task<ProviderValidation> validateKey(QString apiKey) const;
    void cancel() const { session_.cancelAll(); }

private:
    ProviderHttpSession session_;
};

}  // namespace qm
