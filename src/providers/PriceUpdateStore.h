#pragma once

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <optional>

#include "core/Pricing.h"
#include "core/RemoteHosts.h"

namespace qm {

// Brings the maintained price list from an http(s) address or a local file, checks it and keeps
// it as "prices.json" in `dataDirectory`, which then prices every cost. A list that fails the
// check changes nothing; the reason comes back in `error`. Never throws. At most
// PriceBook::kListMaxBytes are read, and a local file only when it is a regular one. `force`
// takes a list that looks incomplete next to the one in effect (PriceBook::install).
QCoro::Task<PriceBook::InstallResult> updatePrices(
    QString from, QString dataDirectory, bool force = false,
    std::chrono::milliseconds timeout = std::chrono::seconds(60));

// The price updates the application runs: "Update Prices" on demand, and once a week when the
// user has turned on the weekly check (off by default). The choice and the time of the last
// check live in the application's settings.
class PriceUpdateStore : public QObject {
    Q_OBJECT
public:
    explicit PriceUpdateStore(QString dataDirectory, QString address = RemoteHosts::priceList(),
                              QObject* parent = nullptr);

    bool isUpdating() const { return updating_; }
    // "Prices updated: 210 models", "Price update failed: ...", or empty before any update.
    QString statusText() const { return status_; }
    // The last update's outcome in this run; none before the first has ended.
    std::optional<PriceBook::InstallResult> lastResult() const { return lastResult_; }
    // The date of the list in effect: "bundled 2026-07-24" or "updated 2026-12-07".
    QString sourceText() const;

    static bool weeklyCheck();
    void setWeeklyCheck(bool on);

    // Updates now; a second call while one runs does nothing.
    QCoro::Task<> update();
    // Updates when the weekly check is on and the last check is a week old or more.
    void updateIfDue();
    // Runs updateIfDue now and then every hour, so a program left running checks too.
    void startWeeklyChecks();

Q_SIGNALS:
    void changed();
    // After a successful update: costs computed from now on use the new list.
    void pricesUpdated();

private:
    QTimer dueTimer_;
    QString dataDirectory_;
    QString address_;
    bool updating_ = false;
    QString status_;
    std::optional<PriceBook::InstallResult> lastResult_;
};

}  // namespace qm
