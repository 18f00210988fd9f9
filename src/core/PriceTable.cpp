#include "core/PriceTable.h"

#include <QCoreApplication>
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
bool isPartSeparator(QChar c) {
    return c == QLatin1Char('-') || c == QLatin1Char('_') || c == QLatin1Char(':') ||
           c == QLatin1Char('@');
}

// The index key of `id` among `provider`'s rows.
QString indexKey(PriceProvider provider, const QString& id) {
    return QChar(char16_t(u'0' + int(provider))) + id;
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
    const qsizetype models = root.size() - (root.contains(kSnapshotKey) ? 1 : 0);
    if (models > kMaxListModels) {
        *error =
            QCoreApplication::translate(
                "PriceTable", "the list holds %1 models, more than the %2 a price list may hold")
                .arg(models)
                .arg(kMaxListModels);
        return std::nullopt;
    }
    PriceTable table;
    QHash<QString, std::size_t> rowOf;  // indexKey -> row read so far
    QSet<QString> routed;               // keys read from a "<provider>/" entry: the provider's own
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
        const QString key = indexKey(*provider, id);
        const auto same = rowOf.constFind(key);
        if (same == rowOf.cend()) {
            rowOf.insert(key, table.rows_.size());
            table.rows_.push_back(std::move(*row));
        } else if (isRouted || !routed.contains(key)) {
            table.rows_[*same] = std::move(*row);
        }
        if (isRouted) routed.insert(key);
    }
    if (table.rows_.empty()) {
        *error = QStringLiteral("no Anthropic, OpenAI, Gemini or xAI prices in the list");
        return std::nullopt;
    }
    table.reindex();
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
        // Rows added here are not in the index yet, but `other` names each model once.
        const auto same = exactRow_.constFind(indexKey(row.provider, row.model));
        if (same != exactRow_.cend()) {
            rows_[*same] = row;
        } else {
            rows_.push_back(row);
        }
    }
    reindex();
}

void PriceTable::reindex() {
    std::ranges::sort(rows_, {}, [](const ModelPrice& r) { return std::tie(r.provider, r.model); });
    exactRow_.clear();
    newestDated_.clear();
    namedRow_.clear();
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const QString key = indexKey(rows_[i].provider, rows_[i].model);
        const QString undatedKey = indexKey(rows_[i].provider, undated(rows_[i].model));
        exactRow_.insert(key, i);
        if (!namedRow_.contains(key)) namedRow_.insert(key, i);
        if (undatedKey != key) {
            newestDated_.insert(undatedKey, i);  // rows are sorted: a later one is newer
            if (!namedRow_.contains(undatedKey)) namedRow_.insert(undatedKey, i);
        }
    }
}

const ModelPrice* PriceTable::exactRow(PriceProvider provider, const QString& model) const {
    const auto hit = exactRow_.constFind(indexKey(provider, model));
    return hit == exactRow_.cend() ? nullptr : &rows_[*hit];
}

std::optional<ModelPrice> PriceTable::find(PriceProvider provider, const QString& model) const {
    const QString id = model.trimmed().toLower();
    if (id.isEmpty()) return std::nullopt;
    const QString bare = undated(id);
    for (const QString& name : {id, bare}) {
        if (const ModelPrice* row = exactRow(provider, name)) return *row;
    }
    // A dated row named by its undated id (or by another date): the newest one.
    const auto dated = [&](const QString& name) -> std::optional<std::size_t> {
        const auto hit = newestDated_.constFind(indexKey(provider, name));
        return hit == newestDated_.cend() ? std::nullopt : std::optional(*hit);
    };
    const auto byId = dated(id);
    const auto byBare = dated(bare);
    if (byId || byBare) return rows_[std::max(byId.value_or(0), byBare.value_or(0))];
    // The longest row id (or undated id) that the model goes on from with a new part.
    for (qsizetype end = id.size() - 1; end > 0; --end) {
        if (!isPartSeparator(id.at(end))) continue;
        const auto hit = namedRow_.constFind(indexKey(provider, id.left(end)));
        if (hit != namedRow_.cend()) return rows_[*hit];
    }
    return std::nullopt;
}

}  // namespace qm
