#include "hosts/RemoteHostList.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "core/AtomicFile.h"
#include "core/SharedFile.h"

namespace qm::hosts {
namespace {

const QString kKey = QStringLiteral("remoteHosts");
constexpr std::int64_t kMaxConfigBytes = 64 << 20;

// The root object of config.json: empty when there is no file or it is empty, nothing when it
// cannot be read or is not an object (with the reason in `error`).
std::optional<QJsonObject> readRoot(const QString& path, QString& error) {
    std::optional<FileError> fileError;
    const std::optional<QByteArray> bytes = readRegularFile(path, kMaxConfigBytes, &fileError);
    if (!bytes) {
        if (fileError && fileError->code != ENOENT) {
            error = fileError->message;
            return std::nullopt;
        }
        return QJsonObject();
    }
    if (bytes->trimmed().isEmpty()) return QJsonObject();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        error = QStringLiteral("%1 is not a JSON object").arg(QFileInfo(path).fileName());
        return std::nullopt;
    }
    return document.object();
}

}  // namespace

std::optional<QString> hostNameProblem(const QString& name) {
    if (name.isEmpty()) return QStringLiteral("a host name is needed");
    if (name.size() > 255) return QStringLiteral("the host name is too long");
    if (name.startsWith(QLatin1Char('-'))) return QStringLiteral("a host name cannot start with -");
    if (name == QLatin1String("local") || name == QLatin1String("all"))
        return QStringLiteral("\"%1\" is a word of --hosts, not a host name").arg(name);
    // What ssh names and addresses are made of, and nothing a shell would read: ssh may hand
    // the name to a ProxyCommand or Match exec of the user's configuration.
    static const QString allowed = QStringLiteral("._-@:%+[]");
    for (const QChar c : name) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                           (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || allowed.contains(c);
        if (!plain)
            return QStringLiteral(
                "a host name holds only letters, digits and . _ - @ : % + [ ] (no spaces, commas "
                "or control characters)");
    }
    return std::nullopt;
}

RemoteHostList::RemoteHostList(QString configPath) : path_(std::move(configPath)) {}

QStringList RemoteHostList::load(QString* error) const {
    QString problem;
    const std::optional<QJsonObject> root = readRoot(path_, problem);
    QStringList hosts;
    if (root) {
        const QJsonValue value = root->value(kKey);
        if (!value.isUndefined() && !value.isNull() && !value.isArray())
            problem = kKey + QStringLiteral(" in config.json is not a list");
        for (const QJsonArray items = value.toArray(); const auto& item : items) {
            const QString name = item.toString();
            if (item.isString() && !hostNameProblem(name) && !hosts.contains(name))
                hosts.append(name);
        }
    }
    if (error) *error = problem;
    return hosts;
}

QString RemoteHostList::save(const QStringList& hosts) const {
    QString problem;
    std::optional<QJsonObject> root = readRoot(path_, problem);
    if (!root) return problem;
    if (makePrivateFolder(QFileInfo(path_).absolutePath()))
        return QStringLiteral("Could not create the folder of ") + path_;
    root->insert(kKey, QJsonArray::fromStringList(hosts));
    QByteArray bytes = QJsonDocument(*root).toJson(QJsonDocument::Indented);
    if (const std::optional<FileError> error = AtomicFile::write(path_, bytes))
        return error->message;
    return {};
}

QString RemoteHostList::edit(const std::function<QString(QStringList&)>& change) const {
    // The accounts' writers merge under the same lock: neither loses the other's change.
    std::optional<FileError> lockError;
    const FileLock lock = FileLock::acquire(path_, &lockError);
    if (!lock.held()) return lockError->message;
    QString error;
    QStringList hosts = load(&error);
    if (!error.isEmpty()) return error;
    if (QString refused = change(hosts); !refused.isEmpty()) return refused;
    return save(hosts);
}

QString RemoteHostList::add(const QString& name) const {
    if (const auto problem = hostNameProblem(name)) return *problem;
    return edit([&](QStringList& hosts) {
        if (hosts.contains(name)) return name + QStringLiteral(" is already in the list");
        hosts.append(name);
        return QString();
    });
}

QString RemoteHostList::remove(const QString& name) const {
    return edit([&](QStringList& hosts) {
        if (!hosts.removeOne(name)) return name + QStringLiteral(" is not in the list");
        return QString();
    });
}

}  // namespace qm::hosts
