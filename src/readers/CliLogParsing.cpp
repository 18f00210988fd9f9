#include "readers/CliLogParsing.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/Iso8601.h"
#include "core/PercentEncoding.h"
#include "core/UsageFigures.h"

namespace qm::CliLogParsing {
namespace {

std::atomic<OpenObserver> g_openObserver{nullptr};

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

std::int64_t truncated(double value) {
    // 2^63 is exact in a double; anything at or beyond it does not fit.
    if (value >= 9223372036854775808.0) return kInt64Max;
    if (value < -9223372036854775808.0) return kInt64Min;
    return std::int64_t(value);
}

simdjson::error_code numberValue(simdjson::ondemand::value& value, std::int64_t& out) {
    simdjson::ondemand::number_type type;
    if (auto error = value.get_number_type().get(type)) return error;
    if (type == simdjson::ondemand::number_type::signed_integer) {
        if (value.get_int64().get(out) == simdjson::SUCCESS) return simdjson::SUCCESS;
    }
    // Unsigned values beyond the signed range and fractions go through a double and clamp.
    double d;
    if (auto error = value.get_double().get(d)) return error;
    out = truncated(d);
    return simdjson::SUCCESS;
}

}  // namespace

namespace {

// The four breaks are the bytes 0x0A to 0x0D: one unsigned range test per byte.
const char* findLineBreakPortable(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8(0x0A);
    const __m128i span = _mm_set1_epi8(3);
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i offset = _mm_sub_epi8(bytes, first);
        const __m128i inRange = _mm_cmpeq_epi8(_mm_min_epu8(offset, span), offset);
        const int mask = _mm_movemask_epi8(inRange);
        if (mask != 0) return p + __builtin_ctz(unsigned(mask));
        p += 16;
    }
#endif
    for (; p < end; ++p) {
        if (static_cast<unsigned char>(*p - 0x0A) <= 3) return p;
    }
    return end;
}

#if defined(__x86_64__)
// The same test 32 bytes at a time, on processors that have AVX2 (chosen at run time, so the
// program still runs on those that do not): most of a log's bytes pass through here.
__attribute__((target("avx2"))) const char* findLineBreakAvx2(const char* p, const char* end) {
    const __m256i first = _mm256_set1_epi8(0x0A);
    const __m256i span = _mm256_set1_epi8(3);
    while (end - p >= 32) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i offset = _mm256_sub_epi8(bytes, first);
        const __m256i inRange = _mm256_cmpeq_epi8(_mm256_min_epu8(offset, span), offset);
        const auto mask = unsigned(_mm256_movemask_epi8(inRange));
        if (mask != 0) return p + __builtin_ctz(mask);
        p += 32;
    }
    return findLineBreakPortable(p, end);
}

// Asked while static objects are made, maybe before the runtime has looked at the processor.
const bool kHasAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();
#endif

}  // namespace

const char* findLineBreak(const char* p, const char* end) {
#if defined(__x86_64__)
    if (kHasAvx2) return findLineBreakAvx2(p, end);
#endif
    return findLineBreakPortable(p, end);
}

LineStream::~LineStream() {
    close();
    if (data_) ::munmap(data_, capacity_);
}

bool LineStream::open(const QString& path) {
    close();
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (OpenObserver observer = g_openObserver.load(std::memory_order_relaxed)) observer(path);
    fd_ = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return false;
    struct stat opened;
    if (::fstat(fd_, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        close();
        return false;
    }
    remaining_ = std::uint64_t(opened.st_size);
    atStart_ = true;
    skipping_ = false;
    begin_ = end_ = scanned_ = 0;
    return true;
}

void LineStream::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

// Reads the next piece behind the bytes held; false at the end of the file.
bool LineStream::fill() {
    constexpr std::size_t kPiece = 1u << 20;
    constexpr std::size_t kPadding = simdjson::SIMDJSON_PADDING;
    if (remaining_ == 0 || fd_ < 0) return false;
    if (begin_ > 0 && capacity_ - end_ < kPiece + kPadding) {
        std::memmove(data_, data_ + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (capacity_ - end_ < kPiece + kPadding) {
        // Mapped, not taken from the heap, so a long line's buffer is given back whole.
        const std::size_t capacity = std::max(2 * kPiece + kPadding, 2 * capacity_);
        void* mapped =
            ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) return false;
        if (data_) {
            std::memcpy(mapped, data_ + begin_, end_ - begin_);
            ::munmap(data_, capacity_);
        }
        data_ = static_cast<char*>(mapped);
        capacity_ = capacity;
        end_ -= begin_;
        begin_ = 0;
    }
    const std::size_t want = std::size_t(std::min<std::uint64_t>(remaining_, kPiece));
    ssize_t n;
    do {
        n = ::read(fd_, data_ + end_, want);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        remaining_ = 0;  // an error or a file cut short ends the read
        return false;
    }
    end_ += std::size_t(n);
    remaining_ -= std::uint64_t(n);
    std::memset(data_ + end_, 0, kPadding);
    if (atStart_ && end_ - begin_ >= 3) {
        atStart_ = false;
        if (std::memcmp(data_ + begin_, "\xEF\xBB\xBF", 3) == 0) begin_ += 3;
    }
    return true;
}

bool LineStream::next(std::string_view& line) {
    for (;;) {
        const char* const base = data_ + begin_;
        const char* const stop = data_ ? findLineBreak(base + scanned_, data_ + end_) : nullptr;
        if (data_ && stop < data_ + end_) {
            const std::size_t length = std::size_t(stop - base);
            begin_ += length + 1;
            scanned_ = 0;
            const bool skipped = skipping_;
            skipping_ = false;
            if (length == 0 || skipped || length > kMaxLineBytes) continue;
            line = std::string_view(base, length);
            return true;
        }
        scanned_ = end_ - begin_;
        if (scanned_ > kMaxLineBytes) {
            // Too long to keep: drop what is held and pass over the rest of the line.
            skipping_ = true;
            begin_ = end_;
            scanned_ = 0;
        }
        if (fill()) continue;
        // The last line may lack a break.
        atStart_ = false;
        if (begin_ >= end_ || skipping_) return false;
        line = std::string_view(data_ + begin_, end_ - begin_);
        begin_ = end_;
        return true;
    }
}

std::optional<TimeMs> date(std::string_view utf8) {
    if (utf8.empty()) return std::nullopt;
    return Iso8601::parse(utf8);
}

std::optional<TimeMs> date(const QString& text) {
    if (text.isEmpty()) return std::nullopt;
    return Iso8601::parse(text);
}

std::optional<TimeMs> creationDate(const QString& path) {
    const QDateTime birth = QFileInfo(path).birthTime();
    if (!birth.isValid()) return std::nullopt;
    return birth.toMSecsSinceEpoch();
}

std::uint64_t fileSize(const QString& path) {
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return 0;
    return std::uint64_t(st.st_size);
}

std::optional<TimeMs> modificationTime(const QString& path) {
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return std::nullopt;
    return TimeMs(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

void setOpenObserver(OpenObserver observer) {
    g_openObserver.store(observer);
}

TextFile::~TextFile() {
    release();
}

void TextFile::release() {
    if (data_) ::munmap(data_, capacity_);
    data_ = nullptr;
    capacity_ = 0;
}

bool TextFile::reserve(std::size_t bytes) {
    const std::size_t needed = bytes + simdjson::SIMDJSON_PADDING;
    if (needed <= capacity_) return true;
    // Unmap first: the old contents are not needed, and holding both would double the peak.
    // Only pages written count, so growing by doubling costs address space, not memory.
    const std::size_t capacity = std::max(needed, capacity_ * 2);
    release();
    void* mapped =
        ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return false;
    data_ = static_cast<char*>(mapped);
    capacity_ = capacity;
    return true;
}

bool TextFile::load(const QString& path, std::uint64_t maxBytes) {
    size_ = 0;
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (std::uint64_t(st.st_size) > maxBytes) return false;

    if (OpenObserver observer = g_openObserver.load(std::memory_order_relaxed)) observer(path);
    // Non-blocking, so a file swapped for a FIFO since the stat cannot hang the scan.
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat opened;
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) ||
        std::uint64_t(opened.st_size) > maxBytes || !reserve(std::size_t(opened.st_size))) {
        ::close(fd);
        return false;
    }
    // A log still being appended to is read up to the size it had when opened.
    const std::size_t want = std::size_t(opened.st_size);
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd, data_ + got, want - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        got += std::size_t(n);
    }
    ::close(fd);
    size_ = got;
    std::memset(data_ + size_, 0, simdjson::SIMDJSON_PADDING);

    const auto* bytes = reinterpret_cast<const unsigned char*>(data_);
    if (size_ >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        convertUtf16(false);
    } else if (size_ >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        convertUtf16(true);
    } else if (size_ >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        std::memmove(data_, data_ + 3, size_ - 3 + simdjson::SIMDJSON_PADDING);
        size_ -= 3;
    }
    return true;
}

void TextFile::convertUtf16(bool bigEndian) {
    QStringDecoder decoder(bigEndian ? QStringDecoder::Utf16BE : QStringDecoder::Utf16LE,
                           QStringConverter::Flag::Stateless);
    const QString decoded = decoder.decode(QByteArrayView(data_ + 2, qsizetype(size_ - 2)));
    const QByteArray utf8 = decoded.toUtf8();
    size_ = 0;
    if (!reserve(std::size_t(utf8.size()))) return;
    std::memcpy(data_, utf8.constData(), std::size_t(utf8.size()));
    size_ = std::size_t(utf8.size());
    std::memset(data_ + size_, 0, simdjson::SIMDJSON_PADDING);
}

QStringList readLines(const QString& path, std::uint64_t maxBytes) {
    TextFile file;
    if (!file.load(path, maxBytes)) return {};
    QStringList lines;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    forEachLine(file.text(), [&](std::string_view line) {
        QString text = decoder.decode(QByteArrayView(line.data(), qsizetype(line.size())));
        if (decoder.hasError()) {
            decoder.resetState();
            return;
        }
        lines.append(std::move(text));
    });
    return lines;
}

std::int64_t int64(const simdjson::dom::object& object,
                   std::initializer_list<std::string_view> keys) {
    for (std::string_view key : keys) {
        simdjson::dom::element value;
        if (object.at_key(key).get(value) != simdjson::SUCCESS) continue;
        switch (value.type()) {
            case simdjson::dom::element_type::INT64:
                return value.get_int64().value_unsafe();
            case simdjson::dom::element_type::UINT64:
                return kInt64Max;  // only values >= 2^63
            case simdjson::dom::element_type::DOUBLE:
                return truncated(value.get_double().value_unsafe());
            default:
                break;
        }
    }
    return 0;
}

std::optional<std::int64_t> tokenCountAt(const simdjson::dom::object& object,
                                         std::span<const std::string_view> keys) {
    for (std::string_view key : keys) {
        simdjson::dom::element value;
        if (object.at_key(key).get(value) != simdjson::SUCCESS) continue;
        switch (value.type()) {
            case simdjson::dom::element_type::INT64: {
                const std::int64_t count = value.get_int64().value_unsafe();
                if (!UsageFigures::isTokenCount(count)) return std::nullopt;
                return count;
            }
            case simdjson::dom::element_type::UINT64:
                return std::nullopt;  // only values >= 2^63
            case simdjson::dom::element_type::DOUBLE: {
                const double count = value.get_double().value_unsafe();
                if (!UsageFigures::isTokenCountNumber(count)) return std::nullopt;
                return std::int64_t(count);
            }
            default:
                break;
        }
    }
    return 0;
}

simdjson::error_code int64(simdjson::ondemand::object& object,
                           std::initializer_list<std::string_view> keys, std::int64_t& out) {
    out = 0;
    for (std::string_view key : keys) {
        simdjson::ondemand::value value;
        const auto found = object.find_field_unordered(key).get(value);
        if (found == simdjson::NO_SUCH_FIELD) continue;
        if (found) return found;
        simdjson::ondemand::json_type type;
        if (auto error = value.type().get(type)) return error;
        if (type != simdjson::ondemand::json_type::number) continue;
        return numberValue(value, out);
    }
    return simdjson::SUCCESS;
}

QString projectName(const QString& workingDirectory) {
    if (workingDirectory.trimmed().isEmpty()) return QStringLiteral("unknown");
    QString path = percentDecoded(workingDirectory).value_or(workingDirectory);
    if (path.startsWith(QLatin1String("\\\\?\\"))) path.remove(0, 4);
    const auto isSlash = [](QChar c) { return c == QLatin1Char('/') || c == QLatin1Char('\\'); };
    qsizetype begin = 0;
    qsizetype end = path.size();
    while (begin < end && isSlash(path[begin])) ++begin;
    while (end > begin && isSlash(path[end - 1])) --end;
    if (begin == end) return QStringLiteral("unknown");
    const QStringView rest = QStringView(path).mid(begin, end - begin);
    return rest.mid(rest.lastIndexOf(QLatin1Char('/')) + 1).toString();
}

bool isRealUserPrompt(std::string_view utf8) {
    // Works on the bytes and looks only at both ends, so a long pasted prompt costs nothing.
    const auto isBlank = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    };
    while (!utf8.empty() && isBlank(utf8.front())) utf8.remove_prefix(1);
    while (!utf8.empty() && isBlank(utf8.back())) utf8.remove_suffix(1);
    if (utf8.empty()) return false;
    const auto startsWithNoCase = [&](std::string_view prefix) {
        if (utf8.size() < prefix.size()) return false;
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
        return std::equal(prefix.begin(), prefix.end(), utf8.begin(),
                          [&](char a, char b) { return lower(a) == lower(b); });
    };
    for (std::string_view injected :
         {"<environment_context>", "<user_instructions>", "<recommended_plugins>",
          "<collaboration_mode>", "# AGENTS.md instructions for ", "<INSTRUCTIONS>"}) {
        if (startsWithNoCase(injected)) return false;
    }
    // Other injected context comes as one block wrapped in a single snake_case tag, such as
    // <turn_aborted>...</turn_aborted>; a person's text rarely both opens and closes so.
    if (utf8.front() == '<') {
        const std::size_t close = utf8.find('>');
        if (close != std::string_view::npos && close > 1) {
            const std::string_view tag = utf8.substr(1, close - 1);
            const bool snakeCase = tag.find('_') != std::string_view::npos &&
                                   std::all_of(tag.begin(), tag.end(), [](char c) {
                                       return (c >= 'a' && c <= 'z') || c == '_';
                                   });
            const std::string closing = "</" + std::string(tag) + ">";
            if (snakeCase && utf8.ends_with(closing)) return false;
        }
    }
    return true;
}

bool isRealUserPrompt(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return isRealUserPrompt(std::string_view(utf8.constData(), std::size_t(utf8.size())));
}

QString shortenedTask(const QString& text) {
    constexpr int kMaxCharacters = 60;
    // Only the head of a long prompt can become the task; the rest is never looked at.
    constexpr qsizetype kHead = 1024;
    QStringView view = QStringView(text).trimmed();
    const bool cut = view.size() > kHead;
    if (cut) {
        view = view.left(kHead);
        if (view.back().isHighSurrogate()) view.chop(1);
    }
    QString task = view.toString();
    task.replace(QLatin1Char('\n'), QLatin1Char(' '));
    task.replace(QLatin1Char('\r'), QLatin1Char(' '));
    if (task.size() <= kMaxCharacters && !cut) return task;  // never more characters than units
    // Count user-perceived characters, so an emoji or accent is never cut in half.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, task);
    int characters = 0;
    qsizetype end = -1;
    while (finder.toNextBoundary() != -1) {
        ++characters;
        if (characters == kMaxCharacters) end = finder.position();
        if (characters > kMaxCharacters) return task.left(end) + QStringLiteral("...");
    }
    return cut ? task + QStringLiteral("...") : task;
}

std::pair<QString, UsageStatusLevel> status(std::optional<TimeMs> lastActiveAt, TimeMs now) {
    if (!lastActiveAt) return {QStringLiteral("No local data"), UsageStatusLevel::unknown};
    const TimeMs elapsedMs = now - *lastActiveAt;
    if (elapsedMs < 5 * 60 * 1000) return {QStringLiteral("Active"), UsageStatusLevel::good};
    if (elapsedMs < 60 * 60 * 1000) return {QStringLiteral("Recent"), UsageStatusLevel::warn};
    return {QStringLiteral("Idle"), UsageStatusLevel::high};
}

}  // namespace qm::CliLogParsing
