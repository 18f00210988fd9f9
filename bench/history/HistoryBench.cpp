// The history file at N records: one metered relay call (validate, insert, prune, append the
// record to the journal and sync it), the bytes written per call (journal lines, and with the
// rewrite of the whole file that folds them in), the rewrite against writing the same number
// of bytes with a plain write and fsync, and loading 100 000 records at start, alone and with
// the background work it starts.
//
//   bench_history [--dir PATH]   (default: a temporary folder under the current directory)

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "history/UsageHistoryStore.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t kNow = 1'780'000'000'000;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

qm::GeminiUsageRecord record(std::int64_t at, int i) {
    return {at,
            QStringLiteral("4f6c2a1e-9d0b-4c55-8e0f-%1").arg(i % 3, 12, 10, QLatin1Char('0')),
            i % 2 ? QStringLiteral("gemini-2.5-flash") : QStringLiteral("gemini-2.5-pro"),
            1200 + i % 977,
            300 + i % 311,
            i % 5 ? 0 : 512,
            i % 7 * 64,
            0,
            0.000375 + (i % 13) * 0.0000125,
            400 + i % 900,
            QStringLiteral("relay"),
            i % 4 ? std::optional<QString>(QStringLiteral("google-genai-sdk/1.21.0 gl-python/3.12"))
                  : std::nullopt};
}

void writeHistory(const QString& path, int count) {
    qm::UsageHistoryData data;
    data.geminiRecords.reserve(std::size_t(count));
    // Spread over the last 80 days so nothing is pruned.
    const std::int64_t step = 80LL * 86'400'000 / std::max(count, 1);
    for (int i = 0; i < count; ++i)
        data.geminiRecords.push_back(record(kNow - (count - i) * step, i));
    qm::UsageHistoryFileStore(path).save(data);
}

double rawWriteMs(const QString& path, const QByteArray& bytes) {
    const QByteArray name = QFile::encodeName(path);
    const auto start = Clock::now();
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    const char* data = bytes.constData();
    std::size_t left = std::size_t(bytes.size());
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n <= 0) break;
        data += n;
        left -= std::size_t(n);
    }
    ::fsync(fd);
    ::close(fd);
    return msSince(start);
}

// Bytes this process has handed to write() so far (every thread), from /proc/self/io.
long long bytesWritten() {
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : io.readAll().split('\n'))
        if (line.startsWith("wchar:")) return line.mid(6).trimmed().toLongLong();
    return -1;
}

void benchAppend(const QString& dir, int count) {
    const QString path = qm::UsageHistoryFileStore::pathIn(dir);
    QFile::remove(path);
    QFile::remove(path + QStringLiteral(".journal"));
    writeHistory(path, count);
    std::int64_t now = kNow;
    qm::UsageHistoryStore store(qm::UsageHistoryFileStore(path), [&now] { return now; });
    // The first rewrite after start needs every record's text, which the store prepares in
    // the background; a second after start (the application showing its windows) it is ready.
    QThread::msleep(1000);
    // A metered call, one per turn of the event loop (the slowest case: no two records share
    // a sync): the record is in the journal, synced, at the end of the turn.
    constexpr int kCalls = 200;
    std::vector<double> call;
    const long long before = bytesWritten();
    for (int i = 0; i < kCalls; ++i) {
        const auto start = Clock::now();
        store.appendGeminiRecord(record(++now, i));
        // The turn of the event loop ends: the journal's sync runs.
        QCoreApplication::processEvents();
        call.push_back(msSince(start));
    }
    const long long journalBytes = bytesWritten() - before;
    // The rewrite that folds those calls into the file (every few seconds in use).
    auto start = Clock::now();
    store.flush();
    const double rewriteMs = msSince(start);
    const long long totalBytes = bytesWritten() - before;
    std::vector<double> raw;
    for (int i = 0; i < 5; ++i)
        raw.push_back(
            rawWriteMs(dir + QStringLiteral("/raw.bin"), QByteArray(QFileInfo(path).size(), 'x')));
    std::printf("history_metered_call_%d_ms: %.3f ms\n", count, median(call));
    std::printf("history_journal_bytes_per_call_%d: %.0f B\n", count,
                double(journalBytes) / kCalls);
    std::printf("history_bytes_per_call_with_one_rewrite_per_%d_calls_%d: %.0f B\n", kCalls, count,
                double(totalBytes) / kCalls);
    std::printf("history_rewrite_%d_ms: %.2f ms\n", count, rewriteMs);
    std::printf("history_raw_write_fsync_%d_ms: %.2f ms\n", count, median(raw));
    std::printf("history_rewrite_vs_raw_%d: %.2f x\n", count, rewriteMs / median(raw));
    std::printf("history_file_size_%d: %.1f MB\n", count, QFileInfo(path).size() / 1e6);
    if (store.lastError()) std::printf("error: %s\n", qPrintable(*store.lastError()));
}

void benchLoad(const QString& dir, int count) {
    const QString path = qm::UsageHistoryFileStore::pathIn(dir);
    QFile::remove(path);
    QFile::remove(path + QStringLiteral(".journal"));
    writeHistory(path, count);
    std::vector<double> times, withBackground;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        qm::UsageHistoryStore store(qm::UsageHistoryFileStore(path), [] { return kNow; });
        times.push_back(msSince(start));
        // Nothing to rewrite: this waits for the record text prepared in the background.
        store.flush();
        withBackground.push_back(msSince(start));
        if (store.geminiUsageRecords().size() != std::size_t(count))
            std::printf("error: lost records\n");
    }
    std::printf("history_load_%d_ms: %.1f ms\n", count, median(times));
    std::printf("history_load_with_background_work_%d_ms: %.1f ms\n", count,
                median(withBackground));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString base = QDir::currentPath();
    const QStringList args = app.arguments();
    const int dirArg = int(args.indexOf(QStringLiteral("--dir")));
    if (dirArg > 0 && dirArg + 1 < args.size()) base = args[dirArg + 1];
    QTemporaryDir dir(base + QStringLiteral("/history-bench-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a folder under %s\n", qPrintable(base));
        return 1;
    }
    for (const int count : {1000, 10000, 100000}) benchAppend(dir.path(), count);
    benchLoad(dir.path(), 100000);
    return 0;
}
