#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <optional>
#include <vector>

#include "core/ClaudeLimitReadings.h"
#include "core/Clock.h"
#include "core/SharedFile.h"

namespace qm {

// The Claude limit readings file as the application sees it: its readings as plain values,
// read again whenever another process (a Claude Code status line) replaces the file, with
// changed() after every change of them. Lives on the main thread, as every store does.
class ClaudeLimitReadingStore : public QObject {
    Q_OBJECT

public:
    // `path`: ClaudeLimitReadingsFile::pathIn(the data folder).
    explicit ClaudeLimitReadingStore(QString path, Clock clock = {}, QObject* parent = nullptr);

    // Ascending by time, the last eight days.
    const std::vector<ClaudeLimitReading>& readings() const { return readings_; }
    // The newest reading of `window`, from any source.
    std::optional<ClaudeLimitReading> newest(ClaudeLimitWindow window) const;

    // Adds readings taken by the application; what the file then holds is published.
    ClaudeLimitReadingsFile::RecordOutcome record(const std::vector<ClaudeLimitReading>& fresh);
    // Reads the file again if it changed since it was last read.
    void reload();

Q_SIGNALS:
    void changed();

private:
    void publish(std::vector<ClaudeLimitReading> readings);

    QString path_;
    Clock clock_;
    FileStamp stamp_;
    std::vector<ClaudeLimitReading> readings_;
    QFileSystemWatcher watcher_;
};

}  // namespace qm
