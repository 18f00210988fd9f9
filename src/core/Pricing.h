#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/PriceTable.h"
#include "core/UsageModels.h"

// Every cost the program shows is an estimate from the price table in effect: the list built
// into the program, replaced by "prices.json" after an update, with "prices-override.json"
// winning over both. Every cost formula is here, so the cache and tier rules live in one place.
namespace qm {

namespace PriceBook {

inline constexpr char kUpdatedFile[] = "prices.json";
inline constexpr char kOverrideFile[] = "prices-override.json";
// The largest price list read, from a file or the network: the community list is a few MB.
inline constexpr std::int64_t kListMaxBytes = 16 << 20;

// The bytes of the price list at `path`. Only a regular file of at most kListMaxBytes is read,
// opened without blocking: a FIFO, device, directory or socket in its place could block the
// program or feed it without end. Otherwise nothing, and `error` says why, naming the file.
std::optional<QByteArray> readList(const QString& path, QString* error);

// The list built into the program, with the rows kept from earlier tables for models the list
// does not carry.
const PriceTable& bundled();
QString bundledDate();

struct Loaded {
    PriceTable table;
    QStringList warnings;  // files in the data folder that were skipped, with the reason
};
// The table in effect for `dataDirectory`: a valid "prices.json" replaces the bundled list, a
// valid "prices-override.json" wins over both. A file that cannot be used is skipped.
Loaded loadFrom(const QString& dataDirectory);
// The maintained list in effect for `dataDirectory`, without the earlier rows or the override:
// a valid "prices.json" or else the bundled list. An update is checked against it.
PriceTable maintainedList(const QString& dataDirectory, QStringList* warnings = nullptr);

// The table every cost uses from now on, on any thread. Until set: bundled().
void setCurrent(PriceTable table);
std::shared_ptr<const PriceTable> current();
// loadFrom() and setCurrent() in one; returns the warnings.
QStringList use(const QString& dataDirectory);

// The row `model` resolves to among `provider`'s rows of the current table; none: unpriced.
// xAI's command-line aliases (grok-composer..., grok-build..., grok-code...) find their rows.
std::optional<ModelPrice> find(PriceProvider provider, const QString& model);

// Checks `json` (the full community list or a trimmed one) and keeps its trimmed rows as
// "prices.json" in `dataDirectory` with `date`. Returns the reason it failed, having changed
// nothing; on success the number of rows kept.
//
// Unless `force`, a list that looks broken next to the maintained list in effect is refused
// (`implausible`): one that lacks more than a quarter of the models that list prices for a
// provider, or that prices at 0 a rate the list in effect charges for. A list that fails to
// parse is refused even with `force`.
struct InstallResult {
    bool ok = false;
    int rows = 0;
    QString error;
    bool implausible = false;
};
InstallResult install(const QByteArray& json, const QString& dataDirectory, const QString& date,
                      bool force = false);
// Why `next` cannot replace `current`, as above; nothing when it can.
std::optional<QString> implausibility(const PriceTable& next, const PriceTable& current);

}  // namespace PriceBook

// Counts apart: no category includes another.
struct TokenCounts {
    std::int64_t input = 0;  // neither read from nor written to the cache
    std::int64_t cacheRead = 0;
    std::int64_t cacheWrite5m = 0;
    std::int64_t cacheWrite1h = 0;
    std::int64_t output = 0;     // includes thinking, unless counted in `reasoning`
    std::int64_t reasoning = 0;  // thinking that a log counts apart from `output` (Gemini)
    bool operator==(const TokenCounts&) const = default;
};

// Anthropic counts come apart, not nested as OpenAI's: `input` holds none of the cache reads or
// writes.
struct AnthropicTokens {
    std::int64_t input = 0;
    std::int64_t output = 0;  // includes extended thinking
    std::int64_t cacheRead = 0;
    std::int64_t cacheWrite5m = 0;  // five-minute cache writes
    std::int64_t cacheWrite1h = 0;  // one-hour cache writes
    bool operator==(const AnthropicTokens&) const = default;
};

// Long-context rates depend on one call's prompt, so summed counts are priced at base rates.
enum class CountSpan { oneCall, manyCalls };

namespace UsagePricing {

// The price of `tokens` at `row`. For one call whose prompt (input, cache reads and writes)
// is above 200 000 tokens, the row's long-context rates apply. Negative counts count 0.
double cost(const ModelPrice& row, const TokenCounts& tokens, CountSpan span);
// None when the model has no price.
std::optional<double> cost(PriceProvider provider, const QString& model, const TokenCounts& tokens,
                           CountSpan span);

TokenCounts fromAnthropic(const AnthropicTokens& tokens);
// OpenAI, Codex, Gemini and Grok nest the cached part in `input`; a cached count above the
// input count is taken as all of the input.
TokenCounts fromNested(std::int64_t input, std::int64_t cached, std::int64_t output);

// Summed OpenAI and Codex counts (`input` includes `cached`); 0 for an unpriced model.
double openAiCost(const QString& model, std::int64_t input, std::int64_t cached,
                  std::int64_t output);
// One Gemini call; thinking tokens are billed on top of `output`; 0 for an unpriced model.
double geminiCost(const QString& model, std::int64_t input, std::int64_t cached,
                  std::int64_t output, std::int64_t thoughts);
// Summed Grok command-line counts; 0 for an unpriced model.
double grokCost(const QString& model, std::int64_t input, std::int64_t cached, std::int64_t output);
// Summed Anthropic counts (the admin report); 0 for an unpriced model.
double anthropicCost(const QString& model, const AnthropicTokens& tokens);

// The table's provider for a local tool's models.
PriceProvider priceProvider(ProviderKind kind);
// A model as an agent that reaches many providers names it ("anthropic/claude-sonnet-4-5",
// "openrouter/openai/gpt-5", "claude-sonnet-4.5"): the provider whose list prices it and the
// name to look up there. None when no list knows it.
std::optional<std::pair<PriceProvider, QString>> routedModel(const QString& model);
// Whether the tool's models are named through routedModel (the agents that reach many
// providers) rather than priced by one provider's list.
bool routesModels(ProviderKind kind);
// Lists in `usage.unpricedModels` the models that used tokens, cost nothing and have no price:
// a tool's own cost (Grok's) counts as a price.
void noteUnpricedModels(ProviderUsage& usage);
// "3 models unpriced", "1 model unpriced"; empty for none. Shown beside a cost it leaves out.
QString unpricedText(qsizetype models);

}  // namespace UsagePricing

}  // namespace qm
