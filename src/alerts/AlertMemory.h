#pragma once

#include <QString>
#include <map>
#include <optional>

#include "core/UsageModels.h"

namespace qm {

// The alerts already shown, so that neither a second check nor a restart repeats one. Each
// entry holds until when it stands: the reset time of a limit window or the end of a budget
// period; 0 stands until the reading falls below its threshold again (a window whose reset
// time is unknown). Kept in a small JSON file written atomically.
class AlertMemory {
public:
    static QString pathIn(const QString& dataDirectory);  // <dir>/alerts-shown.json

    // A missing or unreadable file starts empty.
    explicit AlertMemory(QString path);

    bool stands(const QString& key, TimeMs now) const;
    void remember(const QString& key, TimeMs until);
    void forget(const QString& key);
    std::optional<TimeMs> until(const QString& key) const;
    // Drops what has run out, then writes the file. Returns the error text on failure.
    std::optional<QString> save(TimeMs now);

private:
    QString path_;
    std::map<QString, TimeMs> entries_;
};

}  // namespace qm
