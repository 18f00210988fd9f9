#include "hosts/RemoteHostStore.h"

#include <QDateTime>

#include "hosts/HostReport.h"
#include "hosts/RemoteHostRunner.h"

namespace qm::hosts {
namespace {

constexpr int kDays = 90;  // what the trends window can show

ledger::ReportQuery dailyQuery(QDate today) {
    ledger::ReportQuery query;
    query.until = today;
    query.since = today.addDays(1 - kDays);
    return query;
}

}  // namespace

RemoteHostStore::RemoteHostStore(QString configPath, QString cacheDirectory, Clock now,
                                 QObject* parent)
    : QObject(parent),
      list_(std::move(configPath)),
      cache_(std::move(cacheDirectory)),
      now_(orSystemClock(std::move(now))) {
    reload();
}

RemoteHostStore::~RemoteHostStore() = default;

QStringList RemoteHostStore::cacheKey() {
    return {QStringLiteral("daily-by-tool-90-days")};
}

qint64 RemoteHostStore::now() const {
    return now_();
}

bool RemoteHostStore::isChecking() const {
    return running_ > 0;
}

void RemoteHostStore::reload() {
    std::vector<HostStatus> next;
    for (const QString& name : list_.load()) {
        const auto known = std::find_if(hosts_.begin(), hosts_.end(),
                                        [&](const HostStatus& h) { return h.name == name; });
        if (known != hosts_.end()) {
            next.push_back(*known);
            continue;
        }
        HostStatus status{name, false, {}, std::nullopt, {}};
        // The last good figures, checked again: the cache is a file like any other.
        if (const auto cached = cache_.load(name, cacheKey())) {
            const auto parsed =
                parseRemoteReport(cached->answer, ledger::ReportGrouping::tool, name);
            if (const auto* report = std::get_if<RemoteReport>(&parsed)) {
                status.report = *report;
                status.readAtMs = cached->readAtMs;
            }
        }
        next.push_back(std::move(status));
    }
    if (next != hosts_) {
        hosts_ = std::move(next);
        Q_EMIT changed();
    }
}

QString RemoteHostStore::add(const QString& name) {
    if (QString error = list_.add(name); !error.isEmpty()) return error;
    reload();
    check({name});
    return {};
}

QString RemoteHostStore::remove(const QString& name) {
    if (QString error = list_.remove(name); !error.isEmpty()) return error;
    reload();
    return {};
}

void RemoteHostStore::refresh() {
    QStringList names;
    for (const HostStatus& host : hosts_)
        if (!host.checking) names.append(host.name);
    check(names);
}

void RemoteHostStore::check(const QStringList& names) {
    if (names.isEmpty()) return;
    for (HostStatus& host : hosts_)
        if (names.contains(host.name)) host.checking = true;
    auto* runner = new RemoteHostRunner(this);
    connect(runner, &RemoteHostRunner::finished, this, [this, runner] { finish(runner); });
    ++running_;
    const QDate today = QDateTime::fromMSecsSinceEpoch(now()).date();
    runner->start(names, remoteReportCommand(dailyQuery(today)));
    Q_EMIT changed();
}

void RemoteHostStore::finish(RemoteHostRunner* runner) {
    --running_;
    runner->deleteLater();
    for (const HostAnswer& answer : runner->answers()) {
        const auto host = std::find_if(hosts_.begin(), hosts_.end(),
                                       [&](const HostStatus& h) { return h.name == answer.host; });
        if (host == hosts_.end()) continue;  // removed while it was being asked
        host->checking = false;
        if (!answer.output) {
            host->problem = answer.reason;
            continue;
        }
        const auto parsed =
            parseRemoteReport(*answer.output, ledger::ReportGrouping::tool, answer.host);
        if (const QString* problem = std::get_if<QString>(&parsed)) {
            host->problem = answer.host + QStringLiteral(": ") + *problem;
            continue;
        }
        host->problem.clear();
        host->report = std::get<RemoteReport>(parsed);
        host->readAtMs = now();
        cache_.store(answer.host, cacheKey(), *answer.output, *host->readAtMs);
    }
    Q_EMIT changed();
}

std::vector<std::pair<QString, ledger::ReportFigures>> RemoteHostStore::figures(
    std::optional<ProviderKind> tool, QDate since, QDate until) const {
    std::vector<std::pair<QString, ledger::ReportFigures>> out;
    for (const HostStatus& host : hosts_)
        if (host.readAtMs) out.emplace_back(host.name, figuresOf(host.report, tool, since, until));
    return out;
}

}  // namespace qm::hosts
