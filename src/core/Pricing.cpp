#include "core/Pricing.h"

#include <QRegularExpression>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <mutex>

#include "core/AtomicFile.h"
#include "core/SharedFile.h"

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

// A price list file as read: its bytes, or why not.
struct ListBytes {
    std::optional<QByteArray> bytes;
    QString error;
    bool missing = false;  // no file at all, which is no problem
};

ListBytes readListBytes(const QString& path) {
    ListBytes out;
    // The bounded read refuses a FIFO, device, directory or socket by name without blocking.
    std::optional<FileError> problem;
    out.bytes = readRegularFile(path, PriceBook::kListMaxBytes, &problem);
    if (out.bytes) return out;
    const int code = problem ? problem->code : 0;
    out.missing = code == ENOENT;
    if (code == EFBIG) {
        out.error = QCoreApplication::translate("PriceBook", "%1 is larger than %2 MB")
                        .arg(path)
                        .arg(PriceBook::kListMaxBytes >> 20);
    } else {
        out.error = problem ? problem->message : path;
    }
    return out;
}

// What a list in the data folder is to the table in effect, for the warning that skips it.
enum class ListRole { updated, override };

QString skippedText(ListRole role, const QString& reason) {
    return role == ListRole::updated
               ? QCoreApplication::translate("PriceBook", "%1; the bundled list is used instead")
                     .arg(reason)
               : QCoreApplication::translate("PriceBook", "%1; not used").arg(reason);
}

// The table `bytes` hold; none (with a warning naming `path`) when they are not a price list.
std::optional<PriceTable> parseListFile(const QByteArray& bytes, const QString& path,
                                        const QString& source, ListRole role,
                                        QStringList& warnings) {
    QString error;
    auto table = PriceTable::parse(bytes, source, &error);
    if (!table) warnings.append(skippedText(role, QStringLiteral("%1: %2").arg(path, error)));
    return table;
}

// The bytes of the list at `path` in the data folder; none when there is no such file, or
// (with a warning) when it cannot be read.
std::optional<QByteArray> listBytes(const QString& path, ListRole role, QStringList& warnings) {
    ListBytes file = readListBytes(path);
    if (!file.bytes && !file.missing) warnings.append(skippedText(role, file.error));
    return std::move(file.bytes);
}

// The override's table; none when there is no override or (with a warning) it cannot be used.
std::optional<PriceTable> overrideList(const QString& dataDirectory, QStringList& warnings) {
    const QString path = QDir(dataDirectory).filePath(QLatin1String(PriceBook::kOverrideFile));
    const std::optional<QByteArray> bytes = listBytes(path, ListRole::override, warnings);
    if (!bytes) return std::nullopt;
    return parseListFile(*bytes, path, QStringLiteral("override"), ListRole::override, warnings);
}

// The updated list's table; none when there is none, it is older than the bundled list, or
// (with a warning) it cannot be used.
std::optional<PriceTable> updatedList(const QString& dataDirectory, QStringList& warnings) {
    const QString path = QDir(dataDirectory).filePath(QLatin1String(PriceBook::kUpdatedFile));
    const std::optional<QByteArray> bytes = listBytes(path, ListRole::updated, warnings);
    if (!bytes) return std::nullopt;
    const QString date = PriceTable::snapshotDate(*bytes);
    // A list updated before this program's own snapshot is older than what it carries.
    if (!date.isEmpty() && date < PriceBook::bundledDate()) return std::nullopt;
    return parseListFile(*bytes, path, QStringLiteral("updated ") + date, ListRole::updated,
                         warnings);
}

QString providerName(PriceProvider provider) {
    switch (provider) {
        case PriceProvider::anthropic:
            return QStringLiteral("Anthropic");
        case PriceProvider::openai:
            return QStringLiteral("OpenAI");
        case PriceProvider::gemini:
            return QStringLiteral("Gemini");
        case PriceProvider::xai:
            return QStringLiteral("xAI");
    }
    return {};
}

// The first few of `names`, and how many more there are.
QString sample(const QStringList& names) {
    constexpr qsizetype shown = 5;
    const QString first = names.mid(0, shown).join(QStringLiteral(", "));
    if (names.size() <= shown) return first;
    return QCoreApplication::translate("PriceBook", "%1 and %2 more")
        .arg(first)
        .arg(names.size() - shown);
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

PriceTable maintainedList(const QString& dataDirectory, QStringList* warnings) {
    QStringList ignored;
    auto updated = updatedList(dataDirectory, warnings ? *warnings : ignored);
    if (updated) return std::move(*updated);
    return bundledList();
}

Loaded loadFrom(const QString& dataDirectory) {
    Loaded loaded;
    loaded.table = earlierRows();
    loaded.table.overlay(maintainedList(dataDirectory, &loaded.warnings));
    if (auto override = overrideList(dataDirectory, loaded.warnings)) {
        loaded.table.overlay(*override);
    }
    return loaded;
}

std::optional<QByteArray> readList(const QString& path, QString* error) {
    ListBytes file = readListBytes(path);
    if (!file.bytes && error) *error = file.error;
    return std::move(file.bytes);
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

std::optional<QString> implausibility(const PriceTable& next, const PriceTable& current) {
    QStringList problems;
    for (PriceProvider provider : {PriceProvider::anthropic, PriceProvider::openai,
                                   PriceProvider::gemini, PriceProvider::xai}) {
        qsizetype known = 0;
        QStringList lacking;
        for (const ModelPrice& row : current.rows()) {
            if (row.provider != provider) continue;
            ++known;
            if (!next.exactRow(provider, row.model)) lacking.append(row.model);
        }
        if (lacking.size() * 4 > known) {
            problems.append(
                QCoreApplication::translate(
                    "PriceBook", "it lacks %1 of the %2 %3 models the list in effect prices (%4)")
                    .arg(lacking.size())
                    .arg(known)
                    .arg(providerName(provider), sample(lacking)));
        }
    }
    // A rate the list in effect charges for that drops to 0 is a broken row, not a price cut.
    QStringList free;
    for (const ModelPrice& row : next.rows()) {
        const ModelPrice* was = current.exactRow(row.provider, row.model);
        if (was && ((was->input > 0 && row.input == 0) || (was->output > 0 && row.output == 0))) {
            free.append(QStringLiteral("%1 (%2)").arg(row.model, providerName(row.provider)));
        }
    }
    if (!free.isEmpty()) {
        problems.append(
            QCoreApplication::translate("PriceBook", "it prices %1 at 0").arg(sample(free)));
    }
    if (problems.isEmpty()) return std::nullopt;
    return QCoreApplication::translate("PriceBook", "the list does not look like a whole one: %1")
        .arg(problems.join(QStringLiteral("; ")));
}

InstallResult install(const QByteArray& json, const QString& dataDirectory, const QString& date,
                      bool force) {
    InstallResult result;
    const auto table = PriceTable::parse(json, QStringLiteral("updated ") + date, &result.error);
    if (!table) return result;
    if (!force) {
        if (auto why = implausibility(*table, maintainedList(dataDirectory))) {
            result.error = *why;
            result.implausible = true;
            return result;
        }
    }
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
        case ProviderKind::openCode:
        case ProviderKind::qwenCode:
            break;  // each model by its own provider (routedModel)
    }
    return PriceProvider::openai;
}

bool routesModels(ProviderKind kind) {
    return kind == ProviderKind::openCode || kind == ProviderKind::qwenCode;
}

namespace {

// The provider a part of a routed name points to: a host ("openrouter/anthropic/…"), the
// provider itself, or the family of the model.
std::optional<PriceProvider> providerHint(const QString& part) {
    static const std::pair<const char*, PriceProvider> kHints[] = {
        {"anthropic", PriceProvider::anthropic},
        {"claude", PriceProvider::anthropic},
        {"openai", PriceProvider::openai},
        {"azure", PriceProvider::openai},
        {"gpt", PriceProvider::openai},
        {"google", PriceProvider::gemini},
        {"gemini", PriceProvider::gemini},
        {"vertex", PriceProvider::gemini},
        {"xai", PriceProvider::xai},
        {"x-ai", PriceProvider::xai},
        {"grok", PriceProvider::xai},
    };
    for (const auto& [prefix, provider] : kHints) {
        if (part.startsWith(QLatin1String(prefix))) return provider;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::pair<PriceProvider, QString>> routedModel(const QString& model) {
    const QStringList parts = model.trimmed().toLower().split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty()) return std::nullopt;
    QString name = parts.last();
    // Bedrock's ids: "us.anthropic.claude-sonnet-4-5-20250929-v1:0".
    if (const qsizetype vendor = name.indexOf(QLatin1String("anthropic.")); vendor >= 0)
        name = name.mid(vendor + 10);
    static const QRegularExpression kBedrockVersion(QStringLiteral("-v\\d+(:\\d+)?$"));
    name.remove(kBedrockVersion);
    QList<PriceProvider> order;
    for (const QString& part : parts) {
        if (const auto hint = providerHint(part); hint && !order.contains(*hint))
            order.append(*hint);
    }
    for (PriceProvider provider : {PriceProvider::anthropic, PriceProvider::openai,
                                   PriceProvider::gemini, PriceProvider::xai}) {
        if (!order.contains(provider)) order.append(provider);
    }
    // Some hosts write versions with dots where the provider writes hyphens ("claude-sonnet-4.5").
    QString hyphens = name;
    hyphens.replace(QLatin1Char('.'), QLatin1Char('-'));
    for (PriceProvider provider : order) {
        // Anthropic never writes dots: "4.5" is its "4-5", not "4" and more.
        const bool hyphensFirst = provider == PriceProvider::anthropic;
        for (const QString& candidate :
             {hyphensFirst ? hyphens : name, hyphensFirst ? name : hyphens}) {
            if (PriceBook::find(provider, candidate)) return std::pair(provider, candidate);
        }
    }
    return std::nullopt;
}

void noteUnpricedModels(ProviderUsage& usage) {
    QStringList unpriced;
    for (const ModelUsage& model : usage.models) {
        const bool usedTokens =
            model.inputTokens > 0 || model.outputTokens > 0 || model.cachedTokens > 0;
        const bool priced =
            routesModels(usage.kind)
                ? routedModel(model.model).has_value()
                : PriceBook::find(priceProvider(usage.kind), model.model).has_value();
        if (usedTokens && model.cost <= 0 && !priced) {
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
