#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "core/Clock.h"
#include "hosts/RemoteAnswer.h"
#include "hosts/RemoteHostCache.h"
#include "hosts/RemoteHostList.h"

namespace qm::hosts {

class RemoteHostRunner;

// What the windows know of one other machine.
struct HostStatus {
    QString name;
    bool checking = false;
    QString problem;                 // why the last check failed; empty after a good one
    std::optional<qint64> readAtMs;  // when the figures below were read (perhaps from the cache)
    RemoteReport report;             // daily rows by tool, the last 90 days up to that day
    bool operator==(const HostStatus&) const = default;
};

// The user's other machines for the windows: the list in config.json, and for each the last
// good daily figures (kept in the cache folder, so a machine that is asleep still shows them
// with their age). A check runs ssh in the background and never blocks the caller. Lives on
// the main thread; every change is announced by changed().
class RemoteHostStore : public QObject {
    Q_OBJECT

public:
    RemoteHostStore(QString configPath, QString cacheDirectory, Clock now = {},
                    QObject* parent = nullptr);
    ~RemoteHostStore() override;

    const std::vector<HostStatus>& hosts() const { return hosts_; }
    bool isChecking() const;

    // Checked edits of the list; empty on success, else the reason for the user. A new
    // machine is checked at once.
    QString add(const QString& name);
    QString remove(const QString& name);
    // Asks every machine that is not being asked already for its figures.
    void refresh();
    // Reads the list again (another program may have changed it).
    void reload();

    // Each machine's figures of the days [since, until] (local days of that machine), of one
    // tool or of all, for the machines that have figures.
    std::vector<std::pair<QString, ledger::ReportFigures>> figures(std::optional<ProviderKind> tool,
                                                                   QDate since, QDate until) const;

    // The key under which the figures are cached: the same every day.
    static QStringList cacheKey();

Q_SIGNALS:
    void changed();

private:
    void check(const QStringList& names);
    void finish(RemoteHostRunner* runner);
    qint64 now() const;

    RemoteHostList list_;
    RemoteHostCache cache_;
    Clock now_;
    std::vector<HostStatus> hosts_;
    int running_ = 0;  // runners not finished yet; each deletes itself when done
};

}  // namespace qm::hosts
