#include "hosts/RemoteAnswer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <cmath>
#include <set>

#include "core/Iso8601.h"
#include "core/UsageFigures.h"

namespace qm::hosts {
namespace {

using ledger::ReportFigures;
using ledger::ReportGrouping;

// Counts and costs keep the rule for every figure from outside (UsageFigures); another
// machine's sums are held to the bound of one call too, which keeps them far from overflow.
constexpr qsizetype kMaxText = 1024;
constexpr int kMaxDepth = 8;
constexpr qsizetype kMaxModels = 256;  // of one session row

bool isCount(const QJsonValue& v) {
    return v.isDouble() && UsageFigures::isTokenCountNumber(v.toDouble());
}

bool isText(const QJsonValue& v) {
    if (!v.isString()) return false;
    const QString text = v.toString();
    if (text.size() > kMaxText) return false;
    for (const QChar c : text)
        if (c.category() == QChar::Other_Control) return false;
    return true;
}

// What the figures say of themselves: Grok's estimated tokens, and whether the agents recorded
// the cost. A version that says neither wrote no estimates and priced every cost itself; a
// source this version does not know is taken for an estimate.
QString readMarks(const QJsonObject& o, ReportFigures& f) {
    const QJsonValue estimated = o.value(QLatin1String("estimated"));
    if (!estimated.isUndefined() && !estimated.isNull() && !estimated.isBool())
        return QStringLiteral("estimated is not true or false");
    f.estimated = estimated.toBool();
    const QJsonValue source = o.value(QLatin1String("costSource"));
    if (!source.isUndefined() && !source.isNull() && !isText(source))
        return QStringLiteral("costSource is not a text");
    (source.toString() == QLatin1String("agent") ? f.costRecorded : f.costPriced) = true;
    return {};
}

// Reads the figures of one row or of the totals; empty on success, else which field is bad.
QString readFigures(const QJsonObject& o, ReportFigures& f) {
    const std::pair<const char*, std::int64_t*> counts[] = {
        {"inputTokens", &f.counts.input},
        {"cachedInputTokens", &f.counts.cachedInput},
        {"cacheWriteTokens", &f.counts.cacheWrite},
        {"outputTokens", &f.counts.output},
        {"reasoningTokens", &f.counts.reasoning},
        {"prompts", &f.counts.prompts},
        {"sessions", &f.sessions}};
    for (const auto& [key, out] : counts) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!isCount(v)) return QLatin1String(key) + QStringLiteral(" is not a count");
        *out = std::int64_t(v.toDouble());
    }
    const QJsonValue cost = o.value(QLatin1String("costUsd"));
    if (!cost.isDouble() || !UsageFigures::isCostUsd(cost.toDouble()))
        return QStringLiteral("costUsd is not a cost");
    f.costUsd = cost.toDouble();
    if (f.counts.cachedInput > f.counts.input || f.counts.reasoning > f.counts.output)
        return QStringLiteral("the token counts do not add up");
    return readMarks(o, f);
}

// A list of model names of one row, sorted and each once, into `out`; absent or null is none.
bool readNames(const QJsonObject& o, const char* key, std::vector<QString>& out) {
    const QJsonValue models = o.value(QLatin1String(key));
    if (models.isUndefined() || models.isNull()) return true;
    if (!models.isArray() || models.toArray().size() > kMaxModels) return false;
    std::set<QString> names;
    for (const QJsonArray list = models.toArray(); const auto& model : list) {
        if (!isText(model)) return false;
        names.insert(model.toString());
    }
    out.assign(names.begin(), names.end());
    return true;
}

// A time stamp as the report writes them, or null; anything else is not one.
bool readTime(const QJsonValue& v, std::optional<TimeMs>& at) {
    if (v.isUndefined() || v.isNull()) return true;
    at = isText(v) ? Iso8601::parse(v.toString()) : std::nullopt;
    return at.has_value();
}

// What a session row says beside its figures. A machine whose version writes none of it is
// still heard: each field may be absent, but one that is there must be what it says it is.
QString readSessionDetails(const QJsonObject& o, ledger::ReportRow& row) {
    const QJsonValue project = o.value(QLatin1String("project"));
    if (!project.isUndefined() && !project.isNull()) {
        if (!isText(project)) return QStringLiteral("project is not a text");
        row.project = project.toString();
    }
    if (!readTime(o.value(QLatin1String("start")), row.start))
        return QStringLiteral("start is not a time");
    if (!readTime(o.value(QLatin1String("end")), row.end))
        return QStringLiteral("end is not a time");
    if (row.start && row.end && *row.start > *row.end) return QStringLiteral("start is after end");
    if (!readNames(o, "models", row.models)) return QStringLiteral("models is not a list of names");
    return {};
}

QString readRow(const QJsonValue& value, ReportGrouping grouping, const QString& host,
                ledger::ReportRow& row) {
    if (!value.isObject()) return QStringLiteral("not an object");
    const QJsonObject o = value.toObject();
    const QJsonValue period = o.value(QLatin1String("period"));
    const QJsonValue group = o.value(ledger::rawValue(grouping));
    if (!isText(period)) return QStringLiteral("period is not a text");
    if (!isText(group)) return ledger::rawValue(grouping) + QStringLiteral(" is not a text");
    row.period = period.toString();
    row.group = group.toString();
    row.host = host;
    if (grouping == ReportGrouping::tool) {
        const auto tool = providerKindFromRaw(row.group);
        if (!tool) return QStringLiteral("unknown tool ") + row.group;
        row.tool = *tool;
    }
    if (const QString bad = readSessionDetails(o, row); !bad.isEmpty()) return bad;
    if (!readNames(o, "unpricedModels", row.figures.unpricedModels))
        return QStringLiteral("unpricedModels is not a list of names");
    return readFigures(o, row.figures);
}

// Each field a count by the rule, so that adding one more checked row cannot overflow.
bool withinBounds(const ledger::Counts& c, std::int64_t sessions) {
    for (std::int64_t value :
         {c.input, c.cachedInput, c.cacheWrite, c.output, c.reasoning, c.prompts, sessions})
        if (!UsageFigures::isTokenCount(value)) return false;
    return true;
}

bool sameCounts(const ledger::Counts& a, const ledger::Counts& b) {
    return a.input == b.input && a.cachedInput == b.cachedInput && a.cacheWrite == b.cacheWrite &&
           a.output == b.output && a.reasoning == b.reasoning && a.prompts == b.prompts;
}

// Every number in a usage answer (counts, times, percentages) is a non-negative finite figure
// no larger than a token count may be, and a cost ("cost", "costTotal", ...) a cost by the rule;
// every text bounded; the nesting is shallow.
bool plausible(const QJsonValue& v, int depth, bool cost = false) {
    if (depth > kMaxDepth) return false;
    if (v.isDouble()) {
        const double d = v.toDouble();
        return cost ? UsageFigures::isCostUsd(d)
                    : std::isfinite(d) && d >= 0 && d <= double(UsageFigures::kMaxTokenCount);
    }
    if (v.isString()) return v.toString().size() <= 64 * kMaxText;
    if (v.isArray()) {
        for (const QJsonArray items = v.toArray(); const auto& item : items)
            if (!plausible(item, depth + 1)) return false;
    }
    if (v.isObject()) {
        const QJsonObject o = v.toObject();
        for (auto it = o.begin(); it != o.end(); ++it) {
            const bool named = it.key().contains(QLatin1String("cost"), Qt::CaseInsensitive);
            if (!plausible(it.value(), depth + 1, named)) return false;
        }
    }
    return true;
}

std::optional<QJsonObject> rootOf(const QByteArray& json) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
    return document.object();
}

}  // namespace

std::variant<RemoteReport, QString> parseRemoteReport(const QByteArray& json,
                                                      ReportGrouping grouping,
                                                      const QString& host) {
    const std::optional<QJsonObject> root = rootOf(json);
    if (!root) return QStringLiteral("the answer is not a report in JSON");
    const QJsonValue rows = root->value(QLatin1String("rows"));
    const QJsonValue totals = root->value(QLatin1String("totals"));
    if (!rows.isArray() || !totals.isObject())
        return QStringLiteral("the answer is not a report in JSON");
    RemoteReport report;
    ledger::Counts sum;
    std::int64_t sessions = 0;  // the rows' sessions; a session of two days is in two rows
    for (qsizetype i = 0; i < rows.toArray().size(); ++i) {
        ledger::ReportRow row;
        if (const QString bad = readRow(rows.toArray()[i], grouping, host, row); !bad.isEmpty())
            return QStringLiteral("row %1: ").arg(i + 1) + bad;
        sum += row.figures.counts;
        sessions += row.figures.sessions;
        if (!withinBounds(sum, sessions))
            return QStringLiteral("the rows add up beyond any real use");
        report.rows.push_back(std::move(row));
    }
    if (const QString bad = readFigures(totals.toObject(), report.totals); !bad.isEmpty())
        return QStringLiteral("totals: ") + bad;
    if (!sameCounts(sum, report.totals.counts))
        return QStringLiteral("the totals are not the sum of the rows");
    std::set<QString> unpriced;
    for (const QJsonArray models = root->value(QLatin1String("unpricedModels")).toArray();
         const auto& model : models) {
        if (!isText(model)) return QStringLiteral("unpricedModels holds something not a name");
        unpriced.insert(model.toString());
    }
    report.totals.unpricedModels.assign(unpriced.begin(), unpriced.end());
    return report;
}

std::variant<std::vector<QJsonObject>, QString> parseRemoteUsage(const QByteArray& json,
                                                                 const QString& host) {
    const std::optional<QJsonObject> root = rootOf(json);
    const QJsonValue providers = root ? root->value(QLatin1String("providers")) : QJsonValue();
    if (!providers.isArray()) return QStringLiteral("the answer is not usage in JSON");
    std::vector<QJsonObject> out;
    for (const QJsonArray items = providers.toArray(); const auto& provider : items) {
        if (!provider.isObject() || !plausible(provider, 0))
            return QStringLiteral("the answer holds a figure out of range");
        QJsonObject o = provider.toObject();
        if (!isText(o.value(QLatin1String("kind"))) ||
            !isText(o.value(QLatin1String("providerName"))))
            return QStringLiteral("the answer names no tool");
        o.insert(QStringLiteral("host"), host);
        out.push_back(std::move(o));
    }
    return out;
}

}  // namespace qm::hosts
