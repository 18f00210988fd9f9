// The budget check that follows every history change (each relay request): today's and this
// month's spend of every budgeted account, over a history of 100 000 relay records and 20 000
// API records, against one plain pass summing the same relay records as the yardstick.
//
//   bench_alerts

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "alerts/AccountSpend.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t kNow = 1'780'000'000'000;
constexpr std::int64_t kDay = 86'400'000;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QString accountId(const char* prefix, int i) {
    return QStringLiteral("%1%2").arg(QLatin1String(prefix)).arg(i, 28, 10, QLatin1Char('0'));
}

}  // namespace

int main() {
    qm::ApiAccountStorageData accounts;
    for (int i = 0; i < 4; ++i) {
        qm::GeminiAccount gemini;
        gemini.id = accountId("gemi", i);
        gemini.dailyBudgetUsd = 10;
        accounts.geminiAccounts.push_back(gemini);
        qm::AdminApiAccount admin;
        admin.id = accountId("anth", i);
        admin.monthlyBudgetUsd = 100;
        accounts.anthropicApiAccounts.push_back(admin);
        admin.id = accountId("open", i);
        accounts.openAiApiAccounts.push_back(admin);
    }
    std::vector<qm::GeminiUsageRecord> relay(100'000);
    for (int i = 0; i < int(relay.size()); ++i) {
        relay[i].timestampMs = kNow - 80 * kDay + std::int64_t(i) * (80 * kDay / 100'000);
        relay[i].accountId = accountId("gemi", i % 4);
        relay[i].costUsd = 0.0004 + (i % 13) * 0.00001;
    }
    // A fetch of eight models every two hours for each of the eight admin accounts.
    std::vector<qm::ApiUsageRecord> api;
    for (int i = 0; i < 20'000; ++i) {
        const int account = (i / 8) % 8;
        qm::ApiUsageRecord record;
        record.timestampMs = kNow - 80 * kDay + std::int64_t(i / 64) * 2 * 3'600'000;
        record.provider = account < 4 ? QStringLiteral("anthropic") : QStringLiteral("openai");
        record.accountId = accountId(account < 4 ? "anth" : "open", account % 4);
        record.costUsd = 1 + i % 8;
        api.push_back(record);
    }

    const QTimeZone zone = QTimeZone::utc();
    std::vector<double> check, plain;
    double sink = 0;
    for (int round = 0; round < 15; ++round) {
        auto start = Clock::now();
        const auto rows = qm::accountBudgetUse(accounts, relay, api, kNow, zone);
        check.push_back(msSince(start));
        sink += rows.front().spentThisMonthUsd;
        start = Clock::now();
        double total = 0;
        for (const auto& record : relay) total += record.costUsd;
        plain.push_back(msSince(start));
        sink += total;
    }
    std::printf("spend_check_12_accounts_120k_records: %.3f ms\n", median(check));
    std::printf("plain_sum_100k_relay_records: %.3f ms\n", median(plain));
    std::printf("checksum: %.2f\n", sink);
    return 0;
}
