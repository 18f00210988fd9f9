#include "history/UsageHistoryJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "core/SharedFile.h"
#include "history/UsageHistoryFile.h"

namespace qm::UsageHistoryJournal {
namespace {

constexpr std::string_view kMagic = "quotameter-history-journal";

FileError errnoError(const QString& what, int code) {
    return FileError{code,
                     what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(code))};
}

template <typename Record>
std::string lineOf(std::string_view key, const Record& record) {
    std::string text = "{\"";
    text += key;
    text += "\":[";
    for (const char c : UsageHistoryJson::encodeRecord(record))
        if (c != '\n') text += c;  // raw line breaks are only layout: strings escape theirs
    text += "]}\n";
    return text;
}

void appendNumber(std::string& out, std::int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out += ' ';
    out.append(buffer, result.ptr);
}

std::optional<FileStamp> parseHeader(std::string_view text) {
    if (text.substr(0, kMagic.size()) != kMagic) return std::nullopt;
    text.remove_prefix(kMagic.size());
    std::int64_t values[5] = {};
    for (std::int64_t& value : values) {
        if (text.empty() || text.front() != ' ') return std::nullopt;
        text.remove_prefix(1);
        const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
        if (result.ec != std::errc()) return std::nullopt;
        text.remove_prefix(std::size_t(result.ptr - text.data()));
    }
    if (!text.empty()) return std::nullopt;
    FileStamp stamp;
    stamp.exists = values[0] != 0;
    stamp.device = dev_t(values[1]);
    stamp.inode = ino_t(values[2]);
    stamp.size = off_t(values[3]);
    stamp.modifiedNs = values[4];
    return stamp;
}

template <typename Record>
void take(std::vector<Record>& into, std::vector<Record>& from) {
    for (Record& record : from) into.push_back(std::move(record));
}

}  // namespace

QString pathFor(const QString& historyPath) {
    return historyPath + QStringLiteral(".journal");
}

std::string header(const FileStamp& base) {
    std::string text(kMagic);
    appendNumber(text, base.exists ? 1 : 0);
    appendNumber(text, std::int64_t(base.device));
    appendNumber(text, std::int64_t(base.inode));
    appendNumber(text, std::int64_t(base.size));
    appendNumber(text, base.modifiedNs);
    text += '\n';
    return text;
}

std::string line(const ClaudeUsageSnapshot& snapshot) {
    return lineOf("claudeSnapshots", snapshot);
}
std::string line(const GeminiUsageRecord& record) {
    return lineOf("geminiRecords", record);
}
std::string line(const ApiUsageRecord& record) {
    return lineOf("apiRecords", record);
}

namespace {

// Decodes the complete lines of `text`, whose first byte lies at `position` in the file, adding
// the records of lines that start at `offset` or later; returns where the first incomplete
// line begins.
std::size_t decodeLines(std::string_view text, std::int64_t position, std::int64_t offset,
                        UsageHistoryData& records) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) break;
        if (position + std::int64_t(at) >= offset) {
            if (std::optional<UsageHistoryData> one =
                    UsageHistoryJson::decode(text.substr(at, end - at))) {
                take(records.claudeSnapshots, one->claudeSnapshots);
                take(records.geminiRecords, one->geminiRecords);
                take(records.apiRecords, one->apiRecords);
            }
        }
        at = end + 1;
    }
    return at;
}

}  // namespace

Read read(const QString& path, std::int64_t offset) {
    Read result;
    std::optional<FileError> error;
    const int fd = openRegularFile(path, std::nullopt, &error);
    if (fd < 0) {
        if (error && error->code != ENOENT) result.error = error;
        return result;
    }
    result.journal = FileStamp::ofOpen(fd);
    // Read in pieces, never whole: a journal grown far past its bound (or planted) costs the
    // memory of one piece and one line.
    constexpr std::size_t kPiece = 1 << 20;
    constexpr std::size_t kLongestLine = 16 << 20;  // a longer line is no record of ours
    std::string pending;        // the unfinished line carried into the next piece
    std::int64_t position = 0;  // file offset of pending's first byte
    bool headerSeen = false;
    std::vector<char> piece(kPiece);
    for (;;) {
        const ssize_t n = ::read(fd, piece.data(), piece.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(piece.data(), std::size_t(n));
        if (!headerSeen) {
            const std::size_t headerEnd = pending.find('\n');
            if (headerEnd == std::string::npos) {
                if (pending.size() > kLongestLine) break;
                continue;
            }
            headerSeen = true;
            result.base = parseHeader(std::string_view(pending).substr(0, headerEnd));
            pending.erase(0, headerEnd + 1);
            position = std::int64_t(headerEnd + 1);
        }
        const std::size_t done = decodeLines(pending, position, offset, result.records);
        position += std::int64_t(done);
        pending.erase(0, done);
        if (pending.size() > kLongestLine) {  // a line without end is skipped
            position += std::int64_t(pending.size());
            pending.clear();
        }
    }
    ::close(fd);
    result.consumed = headerSeen ? std::max(position, offset) : 0;
    result.endsInLineBreak = pending.empty();
    return result;
}

std::optional<FileError> append(const QString& path, std::string_view text, bool lineBreakFirst,
                                FileStamp* after, bool synced) {
    // Never through a link, never into a FIFO or device put in the journal's place.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return errnoError(QStringLiteral("Could not open ") + path, errno);
    struct stat before {};
    const bool sized = ::fstat(fd, &before) == 0;
    if (!sized || !S_ISREG(before.st_mode)) {
        ::close(fd);
        return FileError{EINVAL, path + QStringLiteral(" is not a regular file")};
    }
    // A full disk may take part of the text, or take it all and fail the sync: the journal is
    // cut back to where it was, so no record is left half written, or written while its caller
    // holds it as unsaved (and appends it again later). Should the cut fail, a torn line is
    // skipped on reading and the next append starts a new one.
    const auto fail = [&](const QString& what, int code) {
        if (sized) [[maybe_unused]]
            const int cut = ::ftruncate(fd, before.st_size);
        ::close(fd);
        return errnoError(what + path, code);
    };
    std::string bytes;
    if (lineBreakFirst) bytes += '\n';
    bytes += text;
    std::string_view left(bytes);
    while (!left.empty()) {
        const ssize_t n = ::write(fd, left.data(), left.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(QStringLiteral("Could not write "), errno);
        }
        left.remove_prefix(std::size_t(n));
    }
    if (synced && ::fdatasync(fd) != 0) return fail(QStringLiteral("Could not sync "), errno);
    if (after) *after = FileStamp::ofOpen(fd);
    ::close(fd);
    return std::nullopt;
}

std::optional<FileError> sync(const QString& path) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        // Replaced meanwhile: the rewrite that replaced it synced the file holding its lines.
        if (errno == ENOENT) return std::nullopt;
        return errnoError(QStringLiteral("Could not open ") + path, errno);
    }
    if (::fdatasync(fd) != 0) {
        const int code = errno;
        ::close(fd);
        return errnoError(QStringLiteral("Could not sync ") + path, code);
    }
    ::close(fd);
    return std::nullopt;
}

}  // namespace qm::UsageHistoryJournal
