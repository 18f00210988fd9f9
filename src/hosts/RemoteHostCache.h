#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

// The last good answer of each machine to each question, with the time it was read, so a
// machine that is asleep still shows its last figures, marked with their age. One small file
// per machine in the cache folder; losing it loses nothing but those figures.
namespace qm::hosts {

struct CachedAnswer {
    QByteArray answer;    // the machine's output, as checked before it was stored
    qint64 readAtMs = 0;  // when it was read
};

class RemoteHostCache {
public:
    explicit RemoteHostCache(QString directory);
    // $XDG_CACHE_HOME/Quotameter/hosts (by default ~/.cache/Quotameter/hosts).
    static QString defaultDirectory();

    // Keeps `answer` for `host` and `command`, replacing an older one; at most a few commands
    // per machine are kept, the most recent. Empty on success, else why it was not written.
    QString store(const QString& host, const QStringList& command, const QByteArray& answer,
                  qint64 readAtMs) const;
    std::optional<CachedAnswer> load(const QString& host, const QStringList& command) const;

private:
    QString fileOf(const QString& host) const;
    QString directory_;
};

}  // namespace qm::hosts
