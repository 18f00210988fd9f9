#include "core/PriceTable.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <cmath>
#include <tuple>

namespace qm {
namespace {

constexpr double kPerM = 1'000'000.0;
constexpr double kMaxPerM = 1000.0;  // $1 000 per million tokens: above is a broken row
const QString kSnapshotKey = QStringLiteral("_snapshot");

// The list's field names, in one place for reading and writing.
namespace Field {
const QString provider = QStringLiteral("litellm_provider");
const QString mode = QStringLiteral("mode");
const QString input = QStringLiteral("input_cost_per_token");
const QString output = QStringLiteral("output_cost_per_token");
const QString cacheRead = QStringLiteral("cache_read_input_token_cost");
const QString cacheWrite = QStringLiteral("cache_creation_input_token_cost");
const QString cacheWrite1h = QStringLiteral("cache_creation_input_token_cost_above_1hr");
const QString reasoning = QStringLiteral("output_cost_per_reasoning_token");
const QString longInput = QStringLiteral("input_cost_per_token_above_200k_tokens");
const QString longOutput = QStringLiteral("output_cost_per_token_above_200k_tokens");
const QString longCacheRead = QStringLiteral("cache_read_input_token_cost_above_200k_tokens");
const QString longCacheWrite = QStringLiteral("cache_creation_input_token_cost_above_200k_tokens");
}  // namespace Field

bool pricedMode(const QString& mode) {
    return mode.isEmpty() || mode == QLatin1String("chat") || mode == QLatin1String("completion") ||
           mode == QLatin1String("responses") || mode == QLatin1String("embedding");
}

// "claude-sonnet-4-20250514" -> "claude-sonnet-4"; "gpt-4.1-2025-04-14" -> "gpt-4.1".
QString undated(const QString& id) {
    static const QRegularExpression suffix(QStringLiteral("-(\\d{8}|\\d{4}-\\d{2}-\\d{2})$"));
    QString out = id;
    out.remove(suffix);
    return out;
}

// A prefix counts only where the id goes on with a new part, so "gpt-5.7" does not take the
// "gpt-5" row's price.
bool prefixes(const QString& prefix, const QString& id) {
    if (!id.startsWith(prefix) || id.size() == prefix.size()) return false;
    const QChar next = id.at(prefix.size());
    return next == QLatin1Char('-') || next == QLatin1Char('_') || next == QLatin1Char(':') ||
           next == QLatin1Char('@');
}

class RowReader {
public:
    RowReader(const QString& key, const QJsonObject& row) : key_(key), row_(row) {}

    // Per-million rate of `field`; absent when the row lacks it; an error when it is not a
    // finite number within the bounds.
    std::optional<double> rate(const QString& field) {
        const QJsonValue value = row_.value(field);
        if (value.isUndefined()) return std::nullopt;
        const double perToken = value.toDouble(-1);
        if (!value.isDouble() || !std::isfinite(perToken) || perToken < 0 ||
            perToken * kPerM > kMaxPerM) {
            if (error_.isEmpty()) {
                error_ = QStringLiteral("%1: %2 is not a price from 0 to $1000 per million tokens")
                             .arg(key_, field);
            }
            return std::nullopt;
        }
        // Rounded so that 3.75e-06 reads back as 3.75 and not 3.7499999999999996.
        return std::round(perToken * kPerM * 1e9) / 1e9;
    }

    const QString& error() const { return error_; }

private:
    QString key_;
    QJsonObject row_;
    QString error_;
};

std::optional<ModelPrice> readRow(const QString& key, const QJsonObject& object,
                                  PriceProvider provider, QString* error) {
    RowReader read(key, object);
    ModelPrice row;
    row.provider = provider;
    row.input = read.rate(Field::input).value_or(0);
    row.output = read.rate(Field::output).value_or(0);
    row.cacheRead = read.rate(Field::cacheRead);
    row.cacheWrite = read.rate(Field::cacheWrite);
    row.cacheWrite1h = read.rate(Field::cacheWrite1h);
    row.reasoning = read.rate(Field::reasoning);
    LongContextRates tier{read.rate(Field::longInput), read.rate(Field::longOutput),
                          read.rate(Field::longCacheRead), read.rate(Field::longCacheWrite)};
    if (tier != LongContextRates{}) row.above200k = tier;
    if (!read.error().isEmpty()) {
        *error = read.error();
        return std::nullopt;
    }
    return row;
}

void putRate(QJsonObject& object, const QString& field, std::optional<double> perM) {
    if (perM) object.insert(field, *perM / kPerM);
}

}  // namespace

QString rawValue(PriceProvider provider) {
    switch (provider) {
        case PriceProvider::anthropic:
            return QStringLiteral("anthropic");
        case PriceProvider::openai:
            return QStringLiteral("openai");
        case PriceProvider::gemini:
            return QStringLiteral("gemini");
        case PriceProvider::xai:
            return QStringLiteral("xai");
    }
    return {};
}

std::optional<PriceProvider> priceProviderFromRaw(const QString& raw) {
    for (PriceProvider p : {PriceProvider::anthropic, PriceProvider::openai, PriceProvider::gemini,
                            PriceProvider::xai}) {
        if (rawValue(p) == raw) return p;
    }
    return std::nullopt;
}

std::optional<PriceTable> PriceTable::parse(const QByteArray& json, const QString& source,
                                            QString* error) {
    QString ignored;
    if (!error) error = &ignored;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = parseError.error != QJsonParseError::NoError
                     ? QStringLiteral("not valid JSON: %1 at byte %2")
                           .arg(parseError.errorString())
                           .arg(parseError.offset)
                     : QStringLiteral("not a JSON object of models");
        return std::nullopt;
    }
    const QJsonObject root = document.object();
    PriceTable table;
    QSet<QString> routed;  // ids read from a "<provider>/" key: the provider's own entry
    for (auto it = root.begin(); it != root.end(); ++it) {
        const QJsonObject object = it.value().toObject();
        const auto provider = priceProviderFromRaw(object.value(Field::provider).toString());
        if (!provider || !pricedMode(object.value(Field::mode).toString())) continue;
        QString id = it.key().toLower();
        const QString routePrefix = rawValue(*provider) + QLatin1Char('/');
        const bool isRouted = id.startsWith(routePrefix);
        if (isRouted) id.remove(0, routePrefix.size());
        // Image sizes, fine-tunes and other routed names are not models a log names.
        if (id.contains(QLatin1Char('/')) || id.startsWith(QLatin1String("ft:")) ||
            !object.contains(Field::input)) {
            continue;
        }
        auto row = readRow(it.key(), object, *provider, error);
        if (!row) return std::nullopt;
        row->model = id;
        row->source = source;
        const auto same = std::ranges::find_if(table.rows_, [&](const ModelPrice& r) {
            return r.provider == row->provider && r.model == id;
        });
        if (same == table.rows_.end()) {
            table.rows_.push_back(std::move(*row));
        } else if (isRouted || !routed.contains(id)) {
            *same = std::move(*row);
        }
        if (isRouted) routed.insert(id);
    }
    if (table.rows_.empty()) {
        *error = QStringLiteral("no Anthropic, OpenAI, Gemini or xAI prices in the list");
        return std::nullopt;
    }
    std::ranges::sort(table.rows_, {},
                      [](const ModelPrice& r) { return std::tie(r.provider, r.model); });
    return table;
}

QByteArray PriceTable::toJson(const QString& date) const {
    QJsonObject root;
    for (const ModelPrice& row : rows_) {
        QJsonObject object{{Field::provider, rawValue(row.provider)},
                           {Field::input, row.input / kPerM},
                           {Field::output, row.output / kPerM}};
        putRate(object, Field::cacheRead, row.cacheRead);
        putRate(object, Field::cacheWrite, row.cacheWrite);
        putRate(object, Field::cacheWrite1h, row.cacheWrite1h);
        putRate(object, Field::reasoning, row.reasoning);
        if (row.above200k) {
            putRate(object, Field::longInput, row.above200k->input);
            putRate(object, Field::longOutput, row.above200k->output);
            putRate(object, Field::longCacheRead, row.above200k->cacheRead);
            putRate(object, Field::longCacheWrite, row.above200k->cacheWrite);
        }
        root.insert(row.model, object);
    }
    root.insert(kSnapshotKey, QJsonObject{{QStringLiteral("date"), date},
                                          {QStringLiteral("models"), qint64(rows_.size())}});
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QString PriceTable::snapshotDate(const QByteArray& json) {
    const QJsonObject root = QJsonDocument::fromJson(json).object();
    return root.value(kSnapshotKey).toObject().value(QStringLiteral("date")).toString();
}

void PriceTable::overlay(const PriceTable& other) {
    for (const ModelPrice& row : other.rows_) {
        const auto same = std::ranges::find_if(rows_, [&](const ModelPrice& r) {
            return r.provider == row.provider && r.model == row.model;
        });
        if (same != rows_.end()) {
            *same = row;
        } else {
            rows_.push_back(row);
        }
    }
    reindex();
}

void PriceTable::reindex() {
    std::ranges::sort(rows_, {}, [](const ModelPrice& r) { return std::tie(r.provider, r.model); });
    undatedIds_.clear();
    exactRow_.clear();
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        undatedIds_.push_back(undated(rows_[i].model));
        exactRow_.insert(rawValue(rows_[i].provider) + QLatin1Char('\n') + rows_[i].model, i);
    }
}

std::optional<ModelPrice> PriceTable::find(PriceProvider provider, const QString& model) const {
    const QString id = model.trimmed().toLower();
    if (id.isEmpty()) return std::nullopt;
    const auto hit = exactRow_.constFind(rawValue(provider) + QLatin1Char('\n') + id);
    if (hit != exactRow_.cend()) return rows_[*hit];
    const QString bare = undated(id);
    const ModelPrice* bareMatch = nullptr;
    const ModelPrice* aliasMatch = nullptr;  // a dated row named by its undated id
    const ModelPrice* longest = nullptr;
    qsizetype longestLength = 0;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const ModelPrice& row = rows_[i];
        if (row.provider != provider) continue;
        if (row.model == bare) bareMatch = &row;
        const QString& alias = undatedIds_[i];
        // The newest dated row wins: rows are sorted, so the later one.
        if (alias != row.model && (alias == id || alias == bare)) aliasMatch = &row;
        for (const QString* name : {&row.model, &alias}) {
            if (name->size() > longestLength && prefixes(*name, id)) {
                longest = &row;
                longestLength = name->size();
            }
        }
    }
    for (const ModelPrice* pick : {bareMatch, aliasMatch, longest}) {
        if (pick) return *pick;
    }
    return std::nullopt;
}

}  // namespace qm
