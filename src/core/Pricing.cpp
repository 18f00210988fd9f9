#include "core/Pricing.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <algorithm>
#include <mutex>

#include "core/AtomicFile.h"

namespace qm {
namespace {

QByteArray readResource(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QByteArray& bundledJson() {
    static const QByteArray json = readResource(QStringLiteral(":/prices/model-prices.json"));
    return json;
}

// A list that is part of the program; a broken one is a build fault the tests catch.
PriceTable builtInTable(const QByteArray& json, const QString& source) {
    return PriceTable::parse(json, source, nullptr).value_or(PriceTable());
}

// Rows of earlier tables for models the maintained list lacks; any list's row wins over them.
const PriceTable& earlierRows() {
    static const PriceTable table = builtInTable(
        readResource(QStringLiteral(":/prices/earlier-prices.json")), QStringLiteral("built-in"));
    return table;
}

const PriceTable& bundledList() {
    static const PriceTable table =
        builtInTable(bundledJson(), QStringLiteral("bundled ") + PriceBook::bundledDate());
    return table;
}

std::mutex& currentMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<const PriceTable>& currentSlot() {
    static std::shared_ptr<const PriceTable> table =
        std::make_shared<const PriceTable>(PriceBook::bundled());
    return table;
}

// The file at `path` as a table; none (with a warning) when it exists but cannot be used.
std::optional<PriceTable> readListFile(const QString& path, const QString& source,
                                       QStringList& warnings) {
    QFile file(path);
    if (!file.exists()) return std::nullopt;
    if (!file.open(QIODevice::ReadOnly)) {
        warnings.append(QStringLiteral("%1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    QString error;
    auto table = PriceTable::parse(file.readAll(), source, &error);
    if (!table) warnings.append(QStringLiteral("%1: %2, not used").arg(path, error));
    return table;
}

// xAI's command-line agent names its own models by family; the family's row prices them.
QString xaiAlias(const QString& model) {
    const QString lower = model.toLower();
    if (lower.startsWith(QLatin1String("grok-composer"))) {
        return QStringLiteral("grok-composer-2.5-fast");
    }
    if (lower.startsWith(QLatin1String("grok-build"))) return QStringLiteral("grok-build");
    if (lower.startsWith(QLatin1String("grok-code"))) return QStringLiteral("grok-code-fast-1");
    return model;
}

double count(std::int64_t n) {
    return double(std::max<std::int64_t>(n, 0));
}

}  // namespace

namespace PriceBook {

const PriceTable& bundled() {
    static const PriceTable table = [] {
        PriceTable merged = earlierRows();
        merged.overlay(bundledList());
        return merged;
    }();
    return table;
}

QString bundledDate() {
    return PriceTable::snapshotDate(bundledJson());
}

Loaded loadFrom(const QString& dataDirectory) {
    const QDir dir(dataDirectory);
    Loaded loaded;
    const QString updatedPath = dir.filePath(QLatin1String(kUpdatedFile));
    const QString updatedDate = [&] {
        QFile file(updatedPath);
        return file.open(QIODevice::ReadOnly) ? PriceTable::snapshotDate(file.readAll())
                                              : QString();
    }();
    loaded.table = earlierRows();
    // A list updated before this program's own snapshot is older than what it carries.
    std::optional<PriceTable> updated;
    if (updatedDate.isEmpty() || updatedDate >= bundledDate()) {
        updated =
            readListFile(updatedPath, QStringLiteral("updated ") + updatedDate, loaded.warnings);
    }
    loaded.table.overlay(updated ? *updated : bundledList());
    if (auto override = readListFile(dir.filePath(QLatin1String(kOverrideFile)),
                                     QStringLiteral("override"), loaded.warnings)) {
        loaded.table.overlay(*override);
    }
    return loaded;
}

void setCurrent(PriceTable table) {
    auto next = std::make_shared<const PriceTable>(std::move(table));
    const std::lock_guard lock(currentMutex());
    currentSlot() = std::move(next);
}

std::shared_ptr<const PriceTable> current() {
    const std::lock_guard lock(currentMutex());
    return currentSlot();
}

QStringList use(const QString& dataDirectory) {
    Loaded loaded = loadFrom(dataDirectory);
    setCurrent(std::move(loaded.table));
    return loaded.warnings;
}

std::optional<ModelPrice> find(PriceProvider provider, const QString& model) {
    const auto table = current();
    auto row = table->find(provider, model);
    if (!row && provider == PriceProvider::xai) row = table->find(provider, xaiAlias(model));
    return row;
}

InstallResult install(const QByteArray& json, const QString& dataDirectory, const QString& date) {
    InstallResult result;
    const auto table = PriceTable::parse(json, QStringLiteral("updated ") + date, &result.error);
    if (!table) return result;
    const QString path = QDir(dataDirectory).filePath(QLatin1String(kUpdatedFile));
    if (const auto failed = AtomicFile::write(path, table->toJson(date))) {
        result.error = failed->message;
        return result;
    }
    result.ok = true;
    result.rows = int(table->rows().size());
    use(dataDirectory);
    return result;
}

}  // namespace PriceBook

namespace UsagePricing {

double cost(const ModelPrice& row, const TokenCounts& t, CountSpan span) {
    double input = row.input;
    double output = row.output;
    double read = row.cacheRead.value_or(row.input);
    double write = row.cacheWrite.value_or(row.input);
    // Anthropic bills a one-hour write at twice the input rate where the row says nothing.
    double write1h = row.cacheWrite1h.value_or(2 * row.input);
    double reasoning = row.reasoning.value_or(row.output);
    const double prompt =
        count(t.input) + count(t.cacheRead) + count(t.cacheWrite5m) + count(t.cacheWrite1h);
    if (span == CountSpan::oneCall && row.above200k && prompt > double(kLongContextThreshold)) {
        const LongContextRates& tier = *row.above200k;
        input = tier.input.value_or(input);
        output = tier.output.value_or(output);
        read = tier.cacheRead.value_or(read);
        write = tier.cacheWrite.value_or(write);
        // One-hour writes keep their ratio to the input rate; thinking is output.
        if (row.input > 0) write1h *= input / row.input;
        reasoning = tier.output.value_or(reasoning);
    }
    constexpr double perM = 1'000'000.0;
    return (count(t.input) * input + count(t.cacheRead) * read + count(t.cacheWrite5m) * write +
            count(t.cacheWrite1h) * write1h + count(t.output) * output +
            count(t.reasoning) * reasoning) /
           perM;
}

std::optional<double> cost(PriceProvider provider, const QString& model, const TokenCounts& tokens,
                           CountSpan span) {
    const auto row = PriceBook::find(provider, model);
    if (!row) return std::nullopt;
    return cost(*row, tokens, span);
}

TokenCounts fromAnthropic(const AnthropicTokens& t) {
    return {.input = t.input,
            .cacheRead = t.cacheRead,
            .cacheWrite5m = t.cacheWrite5m,
            .cacheWrite1h = t.cacheWrite1h,
            .output = t.output};
}

TokenCounts fromNested(std::int64_t input, std::int64_t cached, std::int64_t output) {
    const std::int64_t all = std::max<std::int64_t>(input, 0);
    const std::int64_t fromCache = std::clamp<std::int64_t>(cached, 0, all);
    return {.input = all - fromCache, .cacheRead = fromCache, .output = output};
}

double openAiCost(const QString& model, std::int64_t input, std::int64_t cached,
                  std::int64_t output) {
    return cost(PriceProvider::openai, model, fromNested(input, cached, output),
                CountSpan::manyCalls)
        .value_or(0);
}

double geminiCost(const QString& model, std::int64_t input, std::int64_t cached,
                  std::int64_t output, std::int64_t thoughts) {
    TokenCounts tokens = fromNested(input, cached, output);
    tokens.reasoning = thoughts;
    return cost(PriceProvider::gemini, model, tokens, CountSpan::oneCall).value_or(0);
}

double grokCost(const QString& model, std::int64_t input, std::int64_t cached,
                std::int64_t output) {
    return cost(PriceProvider::xai, model, fromNested(input, cached, output), CountSpan::manyCalls)
        .value_or(0);
}

double anthropicCost(const QString& model, const AnthropicTokens& tokens) {
    return cost(PriceProvider::anthropic, model, fromAnthropic(tokens), CountSpan::manyCalls)
        .value_or(0);
}

PriceProvider priceProvider(ProviderKind kind) {
    switch (kind) {
        case ProviderKind::codex:
            return PriceProvider::openai;
        case ProviderKind::grok:
            return PriceProvider::xai;
        case ProviderKind::gemini:
            return PriceProvider::gemini;
        case ProviderKind::claudeCode:
            return PriceProvider::anthropic;
    }
    return PriceProvider::openai;
}

void noteUnpricedModels(ProviderUsage& usage) {
    QStringList unpriced;
    for (const ModelUsage& model : usage.models) {
        const bool usedTokens =
            model.inputTokens > 0 || model.outputTokens > 0 || model.cachedTokens > 0;
        if (usedTokens && model.cost <= 0 &&
            !PriceBook::find(priceProvider(usage.kind), model.model)) {
            unpriced.append(model.model);
        }
    }
    unpriced.sort();
    unpriced.removeDuplicates();
    usage.unpricedModels = unpriced;
}

QString unpricedText(qsizetype models) {
    if (models <= 0) return {};
    return models == 1
               ? QCoreApplication::translate("UsagePricing", "1 model unpriced")
               : QCoreApplication::translate("UsagePricing", "%1 models unpriced").arg(models);
}

}  // namespace UsagePricing
}  // namespace qm
