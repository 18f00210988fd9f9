#include "gui/dashboard/LoginAutostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <algorithm>

#include "core/AtomicFile.h"

#include "core/SharedFile.h"

namespace qm::gui {

namespace {

const QString kEntryName = QStringLiteral("org.quotameter.Quotameter.desktop");

}  // namespace

LoginAutostart::LoginAutostart(QString configDirectory, QString program)
    : configDirectory_(std::move(configDirectory)), program_(std::move(program)) {}

LoginAutostart LoginAutostart::forThisProgram() {
    return LoginAutostart(QStandardPaths::writableLocation(QStandardPaths::ConfigLocation),
                          QCoreApplication::applicationFilePath());
}

QString LoginAutostart::entryPath() const {
    return configDirectory_ + QStringLiteral("/autostart/") + kEntryName;
}

bool LoginAutostart::isEnabled() const {
    // A regular file of sane size only: a FIFO in its place must not hang the dashboard.
    const std::optional<QByteArray> bytes = readRegularFile(entryPath(), kSideFileMaxBytes);
    if (!bytes) return false;
    bool inEntryGroup = false;
    for (const QByteArray& raw : bytes->split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            inEntryGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntryGroup) continue;
        const qsizetype equals = line.indexOf('=');
        if (equals < 0) continue;
        const QByteArray key = line.left(equals).trimmed();
        const QByteArray value = line.mid(equals + 1).trimmed();
        if (key == "Hidden" && value == "true") return false;
        if (key == "X-GNOME-Autostart-enabled" && value == "false") return false;
    }
    return true;
}

std::optional<QString> LoginAutostart::setEnabled(bool enabled) {
    const QString path = entryPath();
    if (!enabled) {
        QFile file(path);
        if (!file.exists() || file.remove()) return std::nullopt;
        return QCoreApplication::translate("LoginAutostart", "Could not remove %1: %2")
            .arg(path, file.errorString());
    }
    if (execArgument(program_).isEmpty()) {
        return QCoreApplication::translate(
                   "LoginAutostart",
                   "The program path cannot be started from an autostart entry: %1")
            .arg(program_);
    }
    const QString folder = QFileInfo(path).absolutePath();
    if (makePrivateFolder(folder))
        return QCoreApplication::translate("LoginAutostart", "Could not create %1").arg(folder);
    if (auto error = AtomicFile::write(path, entryText(program_))) return error->message;
    return std::nullopt;
}

QString LoginAutostart::execArgument(const QString& program) {
    if (program.isEmpty() || program.contains(QLatin1Char('\n')) ||
        program.contains(QLatin1Char('\r'))) {
        return {};
    }
    // Field codes start with '%'; a literal one is doubled.
    QString text = program;
    text.replace(QLatin1Char('%'), QStringLiteral("%%"));
    static const QString reserved = QStringLiteral(" \t\"'\\><~|&;$*?#()`");
    const bool needsQuotes =
        std::any_of(text.begin(), text.end(), [](QChar c) { return reserved.contains(c); });
    if (needsQuotes) {
        QString quoted = QStringLiteral("\"");
        for (QChar c : text) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                c == QLatin1Char('\\')) {
                quoted += QLatin1Char('\\');
            }
            quoted += c;
        }
        text = quoted + QLatin1Char('"');
    }
    // The value is also a desktop-entry string, where a backslash is itself escaped.
    text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return text;
}

QByteArray LoginAutostart::entryText(const QString& program) {
    return QStringLiteral(
               "[Desktop Entry]\n"
               "Type=Application\n"
               "Name=Quotameter\n"
               "Comment=Usage and cost of your AI coding tools and subscriptions\n"
               "Exec=%1\n"
               "Icon=org.quotameter.Quotameter\n"
               "Terminal=false\n"
               "X-GNOME-Autostart-enabled=true\n")
        .arg(execArgument(program))
        .toUtf8();
}

}  // namespace qm::gui
