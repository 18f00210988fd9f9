#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// The user's other machines, as ssh names them ("devbox", "user@workstation"), kept under
// "remoteHosts" in config.json beside keys this code does not own.
namespace qm::hosts {

// Why a name cannot be a host, or nothing when it can. A name goes on ssh's command line as
// the destination, so it must never read as an option (a leading '-'), hold spaces, control
// characters or anything else a shell would read (ssh may pass it to a ProxyCommand), nor be
// one of the words `--hosts` gives a meaning ("local", "all") or hold a comma.
std::optional<QString> hostNameProblem(const QString& name);

class RemoteHostList {
public:
    explicit RemoteHostList(QString configPath);

    // The hosts in the order they were added; names that fail the check above are left out
    // (a hand-edited file must not put an option on ssh's command line). `error` tells an
    // unreadable or malformed file from a missing one.
    QStringList load(QString* error = nullptr) const;
    // Writes the list under "remoteHosts", every other key of the file as it was. Refuses a
    // file that is not a JSON object rather than replace it. Empty on success, else why not.
    QString save(const QStringList& hosts) const;

    // Checked edits of the stored list, made under config.json's lock as the accounts' are;
    // empty on success, else the reason for the user.
    QString add(const QString& name) const;
    QString remove(const QString& name) const;

private:
    // Loads the list under config.json's lock, applies `change` (which returns why not, or
    // nothing) and saves the result.
    QString edit(const std::function<QString(QStringList&)>& change) const;

    QString path_;
};

}  // namespace qm::hosts
