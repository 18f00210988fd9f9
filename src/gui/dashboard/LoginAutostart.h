#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace qm::gui {

// The XDG autostart entry that starts the application at login: "<config>/autostart/
// org.quotameter.Quotameter.desktop". The file itself is the setting, so a user who removes it
// (or a session manager that marks it Hidden) turns the switch off, and nothing else is stored.
class LoginAutostart {
public:
    // `configDirectory` is the user's config folder (~/.config); `program` the absolute path of
    // the program the entry starts.
    LoginAutostart(QString configDirectory, QString program);
    // For the running application, in the config folder the desktop reads.
    static LoginAutostart forThisProgram();

    QString entryPath() const;
    // True while the entry exists and is not switched off by "Hidden=true" or GNOME's
    // "X-GNOME-Autostart-enabled=false".
    bool isEnabled() const;
    // Writes or removes the entry; an error text on failure, the entry unchanged.
    std::optional<QString> setEnabled(bool enabled);

    // The entry's text; the program path quoted as desktop entries require.
    static QByteArray entryText(const QString& program);
    // `program` as one Exec argument: quoted and escaped when it holds reserved characters.
    // Empty when it cannot be written on one line.
    static QString execArgument(const QString& program);

private:
    QString configDirectory_;
    QString program_;
};

}  // namespace qm::gui
