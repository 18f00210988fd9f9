#include "core/ClaudeCodeSettings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>

#include "core/AtomicFile.h"
#include "core/Clock.h"
#include "core/JsonObjectText.h"
#include "core/SharedFile.h"

namespace qm::ClaudeCodeSettings {
namespace {

constexpr std::int64_t kMaxSettingsBytes = 4 << 20;
const QByteArray kKey = QByteArrayLiteral("statusLine");

QString text(const char* source) {
    return QCoreApplication::translate("ClaudeCodeSettings", source);
}

// The settings file as read: its bytes and where its top-level members are.
struct Settings {
    QString target;  // the file itself: `path`, or what the link there points to
    bool exists = false;
    FileStamp stamp;      // the file as it was read, to notice another writer
    QByteArray original;  // the file's bytes
    QByteArray bytes;     // the same, "{}" for a file with nothing in it
    JsonObjectText object;
    QJsonObject json;
    mode_t mode = 0600;
};

struct ReadSettings {
    std::optional<Settings> settings;
    QString problem;
};

QString linkTarget(const QString& path) {
    const QFileInfo info(path);
    if (!info.isSymLink()) return path;
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.symLinkTarget() : canonical;
}

ReadSettings readSettings(const QString& path) {
    Settings settings;
    settings.target = linkTarget(path);
    settings.stamp = FileStamp::of(settings.target);
    std::optional<FileError> error;
    const std::optional<QByteArray> bytes =
        readRegularFile(settings.target, kMaxSettingsBytes, &error);
    if (!bytes && error && error->code != ENOENT) return {std::nullopt, error->message};
    settings.exists = bytes.has_value();
    settings.original = bytes.value_or(QByteArray());
    // A missing or empty file holds no settings yet.
    settings.bytes = bytes && !bytes->trimmed().isEmpty() ? *bytes : QByteArrayLiteral("{}\n");
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(settings.bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return {std::nullopt, text("%1 is not valid JSON (%2 at character %3)")
                                  .arg(path, parseError.errorString())
                                  .arg(parseError.offset)};
    }
    const std::optional<JsonObjectText> object = JsonObjectText::scan(settings.bytes);
    if (!document.isObject() || !object)
        return {std::nullopt, text("%1 does not hold a JSON object").arg(path)};
    settings.json = document.object();
    settings.object = *object;
    struct stat info {};
    if (::stat(QFile::encodeName(settings.target).constData(), &info) == 0)
        settings.mode = info.st_mode & 0777;
    return {settings, {}};
}

// The words of a shell command, with its quotes and backslashes taken away.
QStringList shellWords(const QString& command) {
    QStringList words;
    QString word;
    bool inWord = false;
    QChar quote;
    for (qsizetype i = 0; i < command.size(); ++i) {
        const QChar c = command[i];
        if (!quote.isNull()) {
            if (c == quote) {
                quote = QChar();
            } else if (c == QLatin1Char('\\') && quote == QLatin1Char('"') &&
                       i + 1 < command.size()) {
                word += command[++i];
            } else {
                word += c;
            }
        } else if (c.isSpace()) {
            if (inWord) words << word;
            word.clear();
            inWord = false;
            continue;
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            quote = c;
        } else if (c == QLatin1Char('\\') && i + 1 < command.size()) {
            word += command[++i];
        } else {
            word += c;
        }
        inWord = true;
    }
    if (inWord) words << word;
    return words;
}

bool isOurs(const QString& command) {
    const QStringList words = shellWords(command);
    return words.size() == 2 && QFileInfo(words[0]).fileName() == QLatin1String("quotameter-cli") &&
           words[1] == QLatin1String("statusline");
}

// What the statusLine entry of `settings` runs: its command, or for an entry without one its
// JSON text; nothing without an entry (a null one included).
std::optional<QString> entryCommand(const Settings& settings) {
    const JsonMemberText* entry = settings.object.find(kKey);
    const QJsonValue value = settings.json.value(QString::fromLatin1(kKey));
    if (!entry || value.isNull()) return std::nullopt;
    const QJsonValue command = value.toObject().value(QStringLiteral("command"));
    if (command.isString()) return command.toString();
    return QString::fromUtf8(
        settings.bytes.mid(entry->valueStart, entry->valueEnd - entry->valueStart));
}

// How the file is written, taken from its first member, so an added entry looks like the rest.
struct Layout {
    QByteArray newline = "\n";
    QByteArray indent = "  ";  // one level
    QByteArray colon = ": ";
    bool multiline = true;
};

Layout layoutOf(const Settings& settings) {
    Layout layout;
    const QByteArray& bytes = settings.bytes;
    if (bytes.contains("\r\n")) layout.newline = "\r\n";
    if (settings.object.members.empty()) return layout;
    const JsonMemberText& first = settings.object.members.front();
    const qsizetype open = settings.object.open;
    const QByteArray before = bytes.mid(open + 1, first.keyStart - open - 1);
    const qsizetype lineEnd = before.lastIndexOf('\n');
    layout.multiline = lineEnd >= 0;
    layout.indent = layout.multiline ? before.mid(lineEnd + 1) : QByteArray();
    const QByteArray colon = bytes.mid(first.keyEnd, first.valueStart - first.keyEnd);
    if (colon.trimmed() == ":" && !colon.contains('\n')) layout.colon = colon;
    return layout;
}

QByteArray entryValue(const QString& command, const Layout& layout) {
    QByteArray quoted = QJsonDocument(QJsonArray{command}).toJson(QJsonDocument::Compact);
    quoted = quoted.mid(1, quoted.size() - 2);
    const QByteArray& colon = layout.colon;
    if (!layout.multiline) {
        const QByteArray comma = colon.endsWith(' ') ? ", " : ",";
        return "{\"type\"" + colon + "\"command\"" + comma + "\"command\"" + colon + quoted + "}";
    }
    const QByteArray line = layout.newline + layout.indent + layout.indent;
    return "{" + line + "\"type\"" + colon + "\"command\"," + line + "\"command\"" + colon +
           quoted + layout.newline + layout.indent + "}";
}

QByteArray withEntry(const Settings& settings, const QString& command) {
    const Layout layout = layoutOf(settings);
    const QByteArray value = entryValue(command, layout);
    const JsonObjectText& object = settings.object;
    QByteArray bytes = settings.bytes;
    if (const JsonMemberText* entry = object.find(kKey))
        return bytes.replace(entry->valueStart, entry->valueEnd - entry->valueStart, value);
    const QByteArray member = "\"" + kKey + "\"" + layout.colon + value;
    if (object.members.empty()) {
        const QByteArray body =
            layout.multiline ? layout.newline + layout.indent + member + layout.newline : member;
        return bytes.replace(object.open + 1, object.close - object.open - 1, body);
    }
    const QByteArray separator = layout.multiline             ? "," + layout.newline + layout.indent
                                 : layout.colon.endsWith(' ') ? QByteArray(", ")
                                                              : QByteArray(",");
    return bytes.insert(object.members.back().valueEnd, separator + member);
}

// The text without the entry and the comma that joined it to its neighbour.
QByteArray withoutEntry(const Settings& settings) {
    const JsonObjectText& object = settings.object;
    const std::vector<JsonMemberText>& members = object.members;
    const auto entry = &*std::find_if(members.rbegin(), members.rend(),
                                      [](const auto& m) { return m.key == kKey; });
    const std::size_t at = std::size_t(entry - members.data());
    QByteArray bytes = settings.bytes;
    if (members.size() == 1) return bytes.remove(object.open + 1, object.close - object.open - 1);
    if (at > 0) {
        const qsizetype from = members[at - 1].valueEnd;
        return bytes.remove(from, entry->valueEnd - from);
    }
    return bytes.remove(entry->keyStart, members[1].keyStart - entry->keyStart);
}

// "settings.json.20261207-140501.bak" beside `path`, never one that is there already.
QString backupPathFor(const QString& path) {
    const QString stamp =
        QDateTime::fromMSecsSinceEpoch(systemNow()).toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString candidate = path + QLatin1Char('.') + stamp + QStringLiteral(".bak");
    for (int n = 2; QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink(); ++n)
        candidate = path + QLatin1Char('.') + stamp + QLatin1Char('-') + QString::number(n) +
                    QStringLiteral(".bak");
    return candidate;
}

EditResult failedWith(QString problem) {
    EditResult result;
    result.outcome = EditOutcome::failed;
    result.problem = std::move(problem);
    return result;
}

// Writes `bytes` over the settings after copying the old file beside them.
EditResult written(const QString& path, const Settings& settings, const QByteArray& bytes,
                   EditResult result) {
    const QByteArray native = QFile::encodeName(settings.target);
    // A file without write permission was made so on purpose: the rename would go past it.
    if (settings.exists && (!(settings.mode & S_IWUSR) || ::access(native.constData(), W_OK) != 0))
        return failedWith(text("%1 is read-only").arg(settings.target));
    if (const std::optional<FileError> error =
            makePrivateFolder(QFileInfo(settings.target).absolutePath()))
        return failedWith(error->message);
    if (FileStamp::of(settings.target) != settings.stamp)
        return failedWith(text("%1 changed while it was being edited; try again").arg(path));
    if (settings.exists) {
        result.backupPath = backupPathFor(path);
        if (const std::optional<FileError> error =
                AtomicFile::write(result.backupPath, settings.original, int(settings.mode)))
            return failedWith(error->message);
    }
    if (const std::optional<FileError> error =
            AtomicFile::write(settings.target, bytes, settings.exists ? int(settings.mode) : 0600))
        return failedWith(error->message);
    return result;
}

}  // namespace

QString settingsPath() {
    const QString configured = qEnvironmentVariable("CLAUDE_CONFIG_DIR");
    const QString folder =
        configured.isEmpty() ? QDir::homePath() + QStringLiteral("/.claude") : configured;
    return QDir(folder).filePath(QStringLiteral("settings.json"));
}

QString statusLineCommand(const QString& cliPath) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_@%+=:,./-]+$"));
    QString quoted = cliPath;
    if (!plain.match(cliPath).hasMatch()) {
        quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
        quoted = QLatin1Char('\'') + quoted + QLatin1Char('\'');
    }
    return quoted + QStringLiteral(" statusline");
}

StatusLineInfo statusLine(const QString& settingsPath, const QString& cliPath) {
    const ReadSettings read = readSettings(settingsPath);
    if (!read.settings) return {StatusLineState::unreadable, {}, false, read.problem};
    const std::optional<QString> command = entryCommand(*read.settings);
    if (!command) return {};
    if (!isOurs(*command)) return {StatusLineState::other, *command, false, {}};
    return {StatusLineState::ours, *command, *command == statusLineCommand(cliPath), {}};
}

}  // namespace qm::ClaudeCodeSettings

namespace qm::ClaudeCodeSettings {

EditResult installStatusLine(const QString& settingsPath, const QString& cliPath,
                             bool replaceOther) {
    const ReadSettings read = readSettings(settingsPath);
    if (!read.settings) return failedWith(read.problem);
    const QString command = statusLineCommand(cliPath);
    const std::optional<QString> current = entryCommand(*read.settings);
    EditResult result;
    result.command = command;
    if (current && *current == command) return result;
    if (current && !isOurs(*current) && !replaceOther) {
        result.outcome = EditOutcome::otherCommand;
        result.command = *current;
        return result;
    }
    result.outcome = EditOutcome::changed;
    result.replaced = current.value_or(QString());
    return written(settingsPath, *read.settings, withEntry(*read.settings, command), result);
}

EditResult uninstallStatusLine(const QString& settingsPath) {
    const ReadSettings read = readSettings(settingsPath);
    if (!read.settings) return failedWith(read.problem);
    const std::optional<QString> current = entryCommand(*read.settings);
    EditResult result;
    if (!current) return result;
    if (!isOurs(*current)) {
        result.outcome = EditOutcome::otherCommand;
        result.command = *current;
        return result;
    }
    result.outcome = EditOutcome::changed;
    result.replaced = *current;
    return written(settingsPath, *read.settings, withoutEntry(*read.settings), result);
}

}  // namespace qm::ClaudeCodeSettings
