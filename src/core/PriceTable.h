#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

// Model prices as data: rows in the community price list's format (one JSON object per model
// with `input_cost_per_token`, `litellm_provider`, ...), kept only for the four providers whose
// usage the program prices. All figures here are US dollars per 1 000 000 tokens.
namespace qm {

enum class PriceProvider { anthropic, openai, gemini, xai };

QString rawValue(PriceProvider provider);  // "anthropic", "openai", "gemini", "xai"
std::optional<PriceProvider> priceProviderFromRaw(const QString& raw);

// Rates above the long-context threshold; an absent rate is the base rate.
struct LongContextRates {
    std::optional<double> input;
    std::optional<double> output;
    std::optional<double> cacheRead;
    std::optional<double> cacheWrite;
    bool operator==(const LongContextRates&) const = default;
};

struct ModelPrice {
    QString model;  // as the provider's own logs and reports name it
    PriceProvider provider = PriceProvider::anthropic;
    double input = 0;
    double output = 0;
    std::optional<double> cacheRead;     // absent: cached input pays the input rate
    std::optional<double> cacheWrite;    // five-minute writes; absent: the input rate
    std::optional<double> cacheWrite1h;  // absent: twice the input rate
    std::optional<double> reasoning;     // thinking billed apart; absent: the output rate
    std::optional<LongContextRates> above200k;
    QString source;  // "bundled 2026-07-24", "updated 2026-12-07", "override", "built-in"
    bool operator==(const ModelPrice&) const = default;
};

// The tier threshold: a call whose whole prompt is above this pays the long-context rates.
inline constexpr std::int64_t kLongContextThreshold = 200'000;

// The most entries a price list may hold: the community list holds a few thousand, so more is
// not a price list, and every lookup and check would pay for it.
inline constexpr int kMaxListModels = 20'000;

class PriceTable {
public:
    // Reads a list in the community format (the full list or a trimmed one), keeping the rows
    // of the four providers. Fails with a reason, keeping nothing, when the text is not a JSON
    // object, it holds more than kMaxListModels entries, a kept row has a price that is not a
    // finite number from 0 to $1 000 per million tokens, or no row is left.
    static std::optional<PriceTable> parse(const QByteArray& json, const QString& source,
                                           QString* error);

    // The trimmed list in the same format, with `date` recorded beside the rows.
    QByteArray toJson(const QString& date) const;
    // The date a trimmed list records; empty when it records none.
    static QString snapshotDate(const QByteArray& json);

    // Rows of `other` replace rows of the same provider and model here; the rest are added.
    void overlay(const PriceTable& other);

    // Exact id (case-insensitive), then the id without a date suffix, then the longest row id
    // that prefixes it; a dated row also answers to its undated id. Only `provider`'s rows.
    // Hash lookups only: the cost does not grow with the number of rows.
    std::optional<ModelPrice> find(PriceProvider provider, const QString& model) const;
    // The row of exactly `model` (a lower-case id as the list names it); null when none.
    const ModelPrice* exactRow(PriceProvider provider, const QString& model) const;

    const std::vector<ModelPrice>& rows() const { return rows_; }
    bool operator==(const PriceTable& other) const { return rows_ == other.rows_; }

private:
    // Sorts the rows and rebuilds what find() reads, after any change of rows_.
    void reindex();

    std::vector<ModelPrice> rows_;  // sorted by provider, then model
    // Keyed by provider and id (indexKey). exactRow_: a row's own id. newestDated_: the
    // undated id of dated rows -> the newest of them. namedRow_: a row's id and its undated id
    // -> the first row in order that has it, which is what a prefix of a model resolves to.
    QHash<QString, std::size_t> exactRow_;
    QHash<QString, std::size_t> newestDated_;
    QHash<QString, std::size_t> namedRow_;
};

}  // namespace qm
