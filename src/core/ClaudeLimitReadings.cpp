#include "core/ClaudeLimitReadings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <string>

#include "core/JsonFields.h"
#include "core/SharedFile.h"

namespace qm {

QString rawValue(ClaudeLimitWindow window) {
    return window == ClaudeLimitWindow::fiveHour ? QStringLiteral("fiveHour")
                                                 : QStringLiteral("weekly");
}

std::optional<ClaudeLimitWindow> claudeLimitWindowFromRaw(const QString& raw) {
    if (raw == QLatin1String("fiveHour")) return ClaudeLimitWindow::fiveHour;
    if (raw == QLatin1String("weekly")) return ClaudeLimitWindow::weekly;
    return std::nullopt;
}

namespace ClaudeLimitReadingsFile {
namespace {

// A clock set back must not keep readings from "the future" at the head of the series.
constexpr TimeMs kAheadMs = 3'600'000;
// How finely the series is kept as it ages: every reading of the last ten minutes, then the
// newest of each minute up to two hours (the pace of a projection looks back one), then of
// each quarter hour. However often Claude Code updates its status line, eight days of readings
// stay a few thousand lines, which a status line reads in about a millisecond.
struct Tier {
    TimeMs olderThan;
    TimeMs slotMs;
};
constexpr Tier kTiers[] = {{2 * 3'600'000, 15 * 60'000}, {10 * 60'000, 60'000}};
constexpr std::size_t kMaxReadings = 5000;

// [window, percent, resetsAt, readAt, source]; nothing when it is not such an entry.
std::optional<ClaudeLimitReading> decodeReading(const QJsonArray& entry) {
    if (entry.size() < 5) return std::nullopt;
    const std::optional<ClaudeLimitWindow> window = claudeLimitWindowFromRaw(entry[0].toString());
    const std::optional<LimitSource> source = limitSourceFromRaw(entry[4].toString());
    const std::optional<std::int64_t> readAt = JsonFields::wholeNumber(entry[3]);
    const double percent = entry[1].isDouble() ? entry[1].toDouble() : -1;
    if (!window || !source || *source == LimitSource::codexLogs || !readAt) return std::nullopt;
    if (!std::isfinite(percent) || percent < 0 || percent > 100) return std::nullopt;
    return ClaudeLimitReading{*window, percent, JsonFields::wholeNumber(entry[2]), *readAt,
                              *source};
}

Contents readFile(const QString& path, TimeMs now) {
    Contents contents;
    // Taken first: a change after it shows as a stamp that differs, never as one that matches.
    contents.stamp = FileStamp::of(path);
    std::optional<FileError> error;
    const std::optional<QByteArray> bytes = readRegularFile(path, kSideFileMaxBytes, &error);
    if (!bytes) {
        // Missing is empty; one too large is damaged and started afresh.
        if (error && error->code != ENOENT && error->code != EFBIG) contents.unreadable = error;
        return contents;
    }
    const QJsonArray entries =
        QJsonDocument::fromJson(*bytes).object().value(QStringLiteral("readings")).toArray();
    contents.readings.reserve(std::size_t(entries.size()));
    for (const auto& entry : entries) {
        const std::optional<ClaudeLimitReading> reading = decodeReading(entry.toArray());
        if (reading && reading->readAt >= now - kKeptMs && reading->readAt <= now + kAheadMs)
            contents.readings.push_back(*reading);
    }
    std::stable_sort(contents.readings.begin(), contents.readings.end(),
                     [](const auto& a, const auto& b) { return a.readAt < b.readAt; });
    return contents;
}

bool sameFigures(const ClaudeLimitReading& a, const ClaudeLimitReading& b) {
    const bool sameReset = a.resetsAt.has_value() == b.resetsAt.has_value() &&
                           (!a.resetsAt || std::llabs(*a.resetsAt - *b.resetsAt) < kRepeatMs);
    return sameReset && std::abs(a.percent - b.percent) < 1e-9;
}

// Ascending, within reach, thinned as the file's comment says.
std::vector<ClaudeLimitReading> bounded(std::vector<ClaudeLimitReading> readings, TimeMs now) {
    std::erase_if(readings, [now](const ClaudeLimitReading& r) {
        return r.readAt < now - kKeptMs || r.readAt > now + kAheadMs;
    });
    std::stable_sort(readings.begin(), readings.end(),
                     [](const auto& a, const auto& b) { return a.readAt < b.readAt; });
    std::vector<ClaudeLimitReading> kept;
    kept.reserve(std::min(readings.size(), kMaxReadings));
    // From the newest back, the tier and slot of the last reading kept per window and source:
    // slots only go down, so a reading in the same one is an older one of it.
    std::map<std::pair<ClaudeLimitWindow, LimitSource>, std::pair<int, TimeMs>> lastSlot;
    for (auto it = readings.rbegin(); it != readings.rend() && kept.size() < kMaxReadings; ++it) {
        const auto tier = std::find_if(std::begin(kTiers), std::end(kTiers), [&](const Tier& t) {
            return it->readAt < now - t.olderThan;
        });
        if (tier != std::end(kTiers)) {
            const std::pair slot{int(tier - std::begin(kTiers)), it->readAt / tier->slotMs};
            const auto [at, first] = lastSlot.try_emplace({it->window, it->source}, slot);
            if (!first && at->second == slot) continue;
            at->second = slot;
        }
        kept.push_back(*it);
    }
    std::reverse(kept.begin(), kept.end());
    return kept;
}

QByteArray encode(const std::vector<ClaudeLimitReading>& readings) {
    // Written by hand: every value is a name or a number, none needs escaping.
    QByteArray bytes;
    bytes.reserve(qsizetype(readings.size()) * 64 + 32);
    bytes.append("{\"version\": 1, \"readings\": [\n");
    for (std::size_t i = 0; i < readings.size(); ++i) {
        const ClaudeLimitReading& r = readings[i];
        bytes.append(r.window == ClaudeLimitWindow::fiveHour ? "[\"fiveHour\", " : "[\"weekly\", ");
        bytes.append(QByteArray::number(r.percent, 'g', QLocale::FloatingPointShortest));
        bytes.append(", ");
        bytes.append(r.resetsAt ? QByteArray::number(qint64(*r.resetsAt)) : QByteArray("null"));
        bytes.append(", ");
        bytes.append(QByteArray::number(qint64(r.readAt)));
        bytes.append(r.source == LimitSource::claudeCode ? ", \"claudeCode\"]"
                                                         : ", \"claudeWeb\"]");
        bytes.append(i + 1 < readings.size() ? ",\n" : "\n");
    }
    bytes.append("]}\n");
    return bytes;
}

std::vector<ClaudeLimitReading> joined(std::vector<ClaudeLimitReading> readings,
                                       const std::vector<ClaudeLimitReading>& more) {
    readings.insert(readings.end(), more.begin(), more.end());
    std::stable_sort(readings.begin(), readings.end(),
                     [](const auto& a, const auto& b) { return a.readAt < b.readAt; });
    return readings;
}

}  // namespace

QString pathIn(const QString& dataDirectory) {
    return dataDirectory + QStringLiteral("/claude-limit-readings.json");
}

Contents read(const QString& path, TimeMs now) {
    return readFile(path, now);
}

std::vector<ClaudeLimitReading> load(const QString& path, TimeMs now) {
    return readFile(path, now).readings;
}

std::vector<ClaudeLimitReading> worthKeeping(const std::vector<ClaudeLimitReading>& kept,
                                             const std::vector<ClaudeLimitReading>& fresh) {
    std::vector<ClaudeLimitReading> worth;
    const auto repeats = [](const std::vector<ClaudeLimitReading>& series,
                            const ClaudeLimitReading& reading) {
        const auto newest = std::find_if(series.rbegin(), series.rend(), [&](const auto& r) {
            return r.window == reading.window && r.source == reading.source;
        });
        return newest != series.rend() && std::llabs(reading.readAt - newest->readAt) < kRepeatMs &&
               sameFigures(*newest, reading);
    };
    for (const ClaudeLimitReading& reading : fresh) {
        if (!repeats(kept, reading) && !repeats(worth, reading)) worth.push_back(reading);
    }
    return worth;
}

RecordResult record(const QString& path, const std::vector<ClaudeLimitReading>& fresh, TimeMs now,
                    int lockWaitMs, const Contents* known) {
    RecordResult result;
    const auto dropped = [&](RecordOutcome outcome, std::optional<FileError> error) {
        result.outcome = outcome;
        result.error = std::move(error);
        result.readings = joined(known ? known->readings : load(path, now), fresh);
        return result;
    };
    std::optional<FileError> lockError;
    const FileLock lock = FileLock::acquire(path, &lockError, lockWaitMs);
    if (!lock.held()) {
        const bool busy = lockError && lockError->code == EWOULDBLOCK;
        return dropped(busy ? RecordOutcome::busy : RecordOutcome::failed, lockError);
    }
    // What another process wrote since the caller looked counts: the rule is applied to it.
    Contents loaded = known && !known->unreadable && FileStamp::of(path) == known->stamp
                          ? *known
                          : readFile(path, now);
    if (loaded.unreadable) return dropped(RecordOutcome::failed, loaded.unreadable);
    const std::vector<ClaudeLimitReading> worth = worthKeeping(loaded.readings, fresh);
    if (worth.empty()) {
        result.readings = joined(std::move(loaded.readings), {});
        return result;
    }
    std::vector<ClaudeLimitReading> readings = bounded(joined(loaded.readings, worth), now);
    const QByteArray bytes = encode(readings);
    // A lost file only costs the series' past, which the next readings rebuild: the status
    // line does not wait for the disk.
    const std::string_view piece(bytes.constData(), std::size_t(bytes.size()));
    if (std::optional<FileError> error =
            AtomicFile::write(path, {piece}, 0600, AtomicFile::Sync::skip)) {
        return dropped(RecordOutcome::failed, std::move(error));
    }
    result.outcome = RecordOutcome::stored;
    result.readings = std::move(readings);
    return result;
}

}  // namespace ClaudeLimitReadingsFile
}  // namespace qm
