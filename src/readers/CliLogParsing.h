#pragma once

#include <simdjson.h>

#include <QString>
#include <QStringList>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "core/UsageModels.h"

// Shared helpers of the Codex, Gemini and Grok log readers. Everything here may be called from
// any thread; nothing throws.
namespace qm::CliLogParsing {

// The strict internet date-time parser every time stamp in the logs goes through.
std::optional<TimeMs> date(std::string_view utf8);
std::optional<TimeMs> date(const QString& text);

// The file's creation (birth) time, or none when the file system does not report one.
std::optional<TimeMs> creationDate(const QString& path);
// Size in bytes from the file's attributes, 0 when they cannot be read.
std::uint64_t fileSize(const QString& path);

// A whole file held as UTF-8 bytes with simdjson's padding behind them. A scan keeps one and
// reuses it for every file, so it allocates for its largest file only and never holds more
// than one file at a time.
class TextFile {
public:
    static constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

    TextFile() = default;
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;
    ~TextFile();

    // Reads `path` when it is a regular file of at most `maxBytes` bytes. The size is taken
    // from the file's attributes before the file is opened, so a larger file is never read.
    // A file that starts with a UTF-16 byte order mark is converted to UTF-8; a UTF-8 byte
    // order mark is dropped. Returns false (holding nothing) when the file is not read.
    bool load(const QString& path, std::uint64_t maxBytes);

    std::string_view text() const { return {data_, size_}; }
    // Readable bytes from `p` (inside text()) to the end of the padding, as simdjson wants.
    std::size_t capacityFrom(const char* p) const {
        return size_ + simdjson::SIMDJSON_PADDING - std::size_t(p - data_);
    }

private:
    bool reserve(std::size_t bytes);
    void convertUtf16(bool bigEndian);

    void release();

    // Mapped, not taken from the heap: the allocator would keep a freed buffer of one file
    // resident beside the next one's, and a scan's memory would grow well past its largest file.
    char* data_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

// The first line break in [p, end), or `end`. Lines end at a line feed, a carriage return, a
// vertical tab or a form feed (a carriage return + line feed pair leaves an empty piece
// between them), nothing else: U+0085, U+2028 and U+2029 may stand raw inside a JSON string
// and must not cut a record in two. None of the four may stand raw inside a JSON string.
const char* findLineBreak(const char* p, const char* end);

// Whether `needle` occurs in `haystack`. A line of JSON has a quote every few bytes, so a
// search that first looks for the needle's leading quote stops at each of them.
inline bool containsBytes(std::string_view haystack, std::string_view needle) {
    return ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

// Calls f(std::string_view line) for every non-empty line in file order.
template <typename F>
void forEachLine(std::string_view text, F&& f) {
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const char* const stop = findLineBreak(p, end);
        if (stop > p) f(std::string_view(p, std::size_t(stop - p)));
        p = stop + 1;
    }
}

// Reads a file's lines piece by piece, so the memory held is bounded by the longest line
// kept, never by the file's size. One reader is reused for many files.
class LineStream {
public:
    // Lines longer than this are passed over whole (in the logs they are tool output and
    // screenshots, never a usage record or a prompt that matters).
    static constexpr std::size_t kMaxLineBytes = 16u << 20;

    LineStream() = default;
    LineStream(const LineStream&) = delete;
    LineStream& operator=(const LineStream&) = delete;
    ~LineStream();

    // Calls f(std::string_view line) for every non-empty line of the regular file `path`, up
    // to the size the file had when opened; a leading UTF-8 byte order mark is dropped. Each
    // line has simdjson's padding readable behind it. False when the file cannot be opened.
    template <typename F>
    bool forEachLine(const QString& path, F&& f) {
        if (!open(path)) return false;
        std::string_view line;
        while (next(line)) f(line);
        close();
        return true;
    }

private:
    bool open(const QString& path);
    bool next(std::string_view& line);
    void close();
    bool fill();

    int fd_ = -1;
    std::uint64_t remaining_ = 0;  // bytes still to read, from the size at opening
    bool atStart_ = false;
    bool skipping_ = false;  // inside a line too long to keep
    char* data_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;    // first byte not yet handed out
    std::size_t end_ = 0;      // end of the bytes read
    std::size_t scanned_ = 0;  // bytes from begin_ known to hold no line break
};

// The lines of a file as text: empty when the file is missing, unreadable or larger than
// `maxBytes`. Each line stands on its own: a line that is not valid UTF-8 is left out without
// touching its neighbours.
QStringList readLines(const QString& path, std::uint64_t maxBytes);

// The first key of `keys` whose value is a number gives the result (a fraction is cut toward
// zero, values beyond the 64-bit range are clamped); text, objects, lists, booleans and null
// are passed over. 0 when no key holds a number.
std::int64_t int64(const simdjson::dom::object& object,
                   std::initializer_list<std::string_view> keys);
// The same on an on-demand object. A malformed value makes the whole document invalid, which
// is reported through the return value.
simdjson::error_code int64(simdjson::ondemand::object& object,
                           std::initializer_list<std::string_view> keys, std::int64_t& out);

// A token count under the first of `keys` whose value is a number: 0 when no key holds one
// (text, objects, lists, booleans and null stand for no count, as in int64()). None when that
// number breaks the rule for figures from outside (UsageFigures::isTokenCountNumber): negative,
// a fraction or past the bound. The record it belongs to is then no usage and is skipped whole,
// never counted with the number cut to fit.
std::optional<std::int64_t> tokenCountAt(const simdjson::dom::object& object,
                                         std::span<const std::string_view> keys);
inline std::optional<std::int64_t> tokenCountAt(const simdjson::dom::object& object,
                                                std::initializer_list<std::string_view> keys) {
    return tokenCountAt(object, std::span<const std::string_view>(keys.begin(), keys.size()));
}
// Sums of counts saturate instead of overflowing on absurd log values.
inline std::int64_t addCounts(std::int64_t a, std::int64_t b) {
    std::int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::max()
                     : std::numeric_limits<std::int64_t>::min();
    }
    return sum;
}

// Short project name from a working directory: "/Users/me/work/app" gives "app", blank or
// slash-only text gives "unknown".
QString projectName(const QString& workingDirectory);

// False for blank text and for the context blocks the tools inject as a user message
// (<environment_context>, "# AGENTS.md instructions for ...", <user_instructions> and other
// tags of that kind): only what a person typed is a prompt.
bool isRealUserPrompt(std::string_view utf8);
bool isRealUserPrompt(const QString& text);

// Trimmed, line breaks turned into blanks, and cut to 60 characters followed by "..." when
// longer: the form in which a prompt or title becomes a session's task.
QString shortenedTask(const QString& text);

// "Active" (under 5 minutes), "Recent" (under an hour), "Idle", or "No local data".
std::pair<QString, UsageStatusLevel> status(std::optional<TimeMs> lastActiveAt, TimeMs now);

// Time of the last modification in ms since the epoch, or none.
std::optional<TimeMs> modificationTime(const QString& path);

// Test hook: when set, called with the path of every file the readers open, just before it is
// opened (from the readers' threads). Null by default, so it costs one atomic load per file.
using OpenObserver = void (*)(const QString& path);
void setOpenObserver(OpenObserver observer);

}  // namespace qm::CliLogParsing
