#include "alerts/ClaudeLimitReadingStore.h"

#include <QFileInfo>
#include <algorithm>

namespace qm {

ClaudeLimitReadingStore::ClaudeLimitReadingStore(QString path, Clock clock, QObject* parent)
    : QObject(parent), path_(std::move(path)), clock_(orSystemClock(std::move(clock))) {
    // The folder, not the file: each writer replaces the file by a rename, which ends a watch
    // on the file itself.
    const QString folder = QFileInfo(path_).absolutePath();
    makePrivateFolder(folder);
    watcher_.addPath(folder);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this,
            &ClaudeLimitReadingStore::reload);
    stamp_ = FileStamp::of(path_);
    readings_ = ClaudeLimitReadingsFile::load(path_, clock_());
}

std::optional<ClaudeLimitReading> ClaudeLimitReadingStore::newest(ClaudeLimitWindow window) const {
    const auto found = std::find_if(readings_.rbegin(), readings_.rend(),
                                    [window](const auto& r) { return r.window == window; });
    if (found == readings_.rend()) return std::nullopt;
    return *found;
}

ClaudeLimitReadingsFile::RecordOutcome ClaudeLimitReadingStore::record(
    const std::vector<ClaudeLimitReading>& fresh) {
    ClaudeLimitReadingsFile::RecordResult result =
        ClaudeLimitReadingsFile::record(path_, fresh, clock_());
    stamp_ = FileStamp::of(path_);
    publish(std::move(result.readings));
    return result.outcome;
}

void ClaudeLimitReadingStore::reload() {
    const FileStamp stamp = FileStamp::of(path_);
    if (stamp == stamp_) return;
    stamp_ = stamp;
    publish(ClaudeLimitReadingsFile::load(path_, clock_()));
}

void ClaudeLimitReadingStore::publish(std::vector<ClaudeLimitReading> readings) {
    if (readings == readings_) return;
    readings_ = std::move(readings);
    Q_EMIT changed();
}

}  // namespace qm
