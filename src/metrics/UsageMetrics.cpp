#include "metrics/UsageMetrics.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "ledger/LedgerPricing.h"

namespace qm::metrics {
namespace {

const QString kTokens = QStringLiteral("quotameter_tokens_total");
const QString kCost = QStringLiteral("quotameter_cost_usd_total");
const QString kUsedRatio = QStringLiteral("quotameter_limit_used_ratio");
const QString kResets = QStringLiteral("quotameter_limit_resets_timestamp_seconds");
const QString kProjectedFull = QStringLiteral("quotameter_limit_projected_full_timestamp_seconds");
const QString kReadAt = QStringLiteral("quotameter_limit_read_timestamp_seconds");
const QString kRelayRequests = QStringLiteral("quotameter_relay_requests_total");
const QString kApiCost = QStringLiteral("quotameter_api_cost_usd_total");

void declareFamilies(MetricsExposition& out) {
    out.declare(kTokens, MetricType::counter,
                QStringLiteral("Tokens the local coding tools used, from their logs. The kinds "
                               "do not overlap: input is fresh input, output leaves reasoning "
                               "out, so the kinds add up to every token."));
    out.declare(kCost, MetricType::counter,
                QStringLiteral("Cost in US dollars of the local tools' tokens: what the tool "
                               "recorded where it records it (OpenCode), else an estimate at "
                               "today's prices; models without either are left out."));
    out.declare(kUsedRatio, MetricType::gauge,
                QStringLiteral("Share of a usage limit used, 0 to 1 (above 1 when over)."));
    out.declare(kResets, MetricType::gauge,
                QStringLiteral("When a usage limit's window starts afresh, in Unix seconds."));
    out.declare(kProjectedFull, MetricType::gauge,
                QStringLiteral("When a usage limit will be full at its recent pace, in Unix "
                               "seconds; only for limits heading to be full before they reset."));
    out.declare(kReadAt, MetricType::gauge,
                QStringLiteral("When the figure of a usage limit was read, in Unix seconds; "
                               "source says where: claudeCode, claudeWeb or codexLogs."));
    out.declare(kRelayRequests, MetricType::counter,
                QStringLiteral("Gemini relay calls kept in the usage history (90 days), by the "
                               "HTTP status their client was answered with."));
    out.declare(kApiCost, MetricType::counter,
                QStringLiteral("Cost in US dollars of the API accounts kept in the usage "
                               "history (90 days): provider usage reports and relay calls."));
}

QString modelLabel(const QString& model) {
    return model.isEmpty() ? QStringLiteral("unknown") : model;
}

void addTokens(MetricsExposition& out, const QString& tool, const QString& model,
               const ledger::Counts& c) {
    // The index keeps cache reads and writes inside `input` and reasoning inside `output`;
    // the series split them apart so that summing over kind counts each token once.
    const std::pair<const char*, std::int64_t> kinds[] = {
        {"input", std::max<std::int64_t>(0, c.input - c.cachedInput - c.cacheWrite)},
        {"cached_input", c.cachedInput},
        {"cache_write", c.cacheWrite},
        {"output", std::max<std::int64_t>(0, c.output - c.reasoning)},
        {"reasoning", c.reasoning},
    };
    for (const auto& [kind, value] : kinds) {
        out.add(kTokens,
                {{QStringLiteral("tool"), tool},
                 {QStringLiteral("model"), model},
                 {QStringLiteral("kind"), QString::fromLatin1(kind)}},
                double(value));
    }
}

// Sums the slices per tool, model, price class and whether the tool recorded the cost before
// pricing: the index holds one slice per hour and session, far more than there are series.
void addLocalUsage(MetricsExposition& out, const std::vector<ledger::UsageSlice>& slices) {
    std::map<std::tuple<ProviderKind, QString, std::uint8_t>, ledger::Counts> sums;
    const std::uint8_t priceFlags = ledger::kLargeCalls | ledger::kRecordedCost;
    for (const ledger::UsageSlice& slice : slices)
        sums[{slice.tool, modelLabel(slice.model), std::uint8_t(slice.flags & priceFlags)}] +=
            slice.counts;
    for (const auto& [key, counts] : sums) {
        const auto& [tool, model, flags] = key;
        addTokens(out, rawValue(tool), model, counts);
        if (const auto cost = ledger::rowCost(tool, model, counts, flags).usd) {
            out.add(kCost,
                    {{QStringLiteral("tool"), rawValue(tool)}, {QStringLiteral("model"), model}},
                    *cost);
        }
    }
}

void addLimits(MetricsExposition& out, const std::vector<LimitReading>& limits, TimeMs now) {
    for (const LimitReading& reading : limits) {
        // A window that has started afresh since the reading no longer has that much used.
        if (hasReset(reading, now)) continue;
        const Labels labels{{QStringLiteral("tool"), reading.tool()},
                            {QStringLiteral("window"), reading.window()}};
        out.set(kUsedRatio, labels, reading.percent / 100.0);
        if (reading.resetsAt) out.set(kResets, labels, double(*reading.resetsAt) / 1000.0);
        if (reading.projectedFullAt)
            out.set(kProjectedFull, labels, double(*reading.projectedFullAt) / 1000.0);
        if (reading.source) {
            Labels read = labels;
            read.push_back({QStringLiteral("source"), rawValue(*reading.source)});
            out.set(kReadAt, read, double(reading.readAt) / 1000.0);
        }
    }
}

void addHistory(MetricsExposition& out, const UsageMetricsSources& sources) {
    const auto account = [&](const QString& provider, const QString& id) {
        return accountLabel(sources.accounts, provider, id, sources.accountLabels);
    };
    for (const GeminiUsageRecord& record : sources.geminiRecords) {
        // The history keeps a relay call only once it was answered with success and metered.
        if (record.source == QLatin1String("relay"))
            out.add(kRelayRequests, {{QStringLiteral("status"), QStringLiteral("200")}}, 1);
        out.add(kApiCost,
                {{QStringLiteral("provider"), QStringLiteral("gemini")},
                 {QStringLiteral("account"), account(QStringLiteral("gemini"), record.accountId)}},
                record.costUsd);
    }
    for (const ApiUsageRecord& record : sources.apiRecords) {
        out.add(kApiCost,
                {{QStringLiteral("provider"), record.provider},
                 {QStringLiteral("account"), account(record.provider, record.accountId)}},
                record.costUsd);
    }
}

template <typename Account>
QString labelIn(const std::vector<Account>& accounts, const QString& id, bool useAlias) {
    const auto found = std::ranges::find(accounts, id, &Account::id);
    if (found == accounts.end()) return QStringLiteral("removed");
    const QString alias = found->alias.trimmed();
    if (useAlias && !alias.isEmpty()) return alias;
    return QString::number(found - accounts.begin() + 1);
}

}  // namespace

QString accountLabel(const ApiAccountStorageData& accounts, const QString& provider,
                     const QString& accountId, bool useAlias) {
    if (provider == QLatin1String("gemini"))
        return labelIn(accounts.geminiAccounts, accountId, useAlias);
    if (provider == QLatin1String("anthropic"))
        return labelIn(accounts.anthropicApiAccounts, accountId, useAlias);
    if (provider.compare(QLatin1String("openai"), Qt::CaseInsensitive) == 0)
        return labelIn(accounts.openAiApiAccounts, accountId, useAlias);
    return QStringLiteral("removed");
}

MetricsExposition usageMetrics(const UsageMetricsSources& sources) {
    MetricsExposition out;
    declareFamilies(out);
    addLocalUsage(out, sources.slices);
    addLimits(out, sources.limits, sources.now);
    addHistory(out, sources);
    return out;
}

}  // namespace qm::metrics
