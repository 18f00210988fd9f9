#include "ledger/LogTail.h"

#include <simdjson.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ledger/ByteCodec.h"
#include "readers/CliLogParsing.h"

namespace qm::ledger {

std::uint64_t hash64(std::string_view bytes) {
    // Eight bytes at a time, multiply and rotate; the tail is folded in with its length.
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
    std::uint64_t h = 0x243F6A8885A308D3ull ^ (bytes.size() * kMul);
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    while (n >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        h = (h ^ (word * kMul)) * 0xFF51AFD7ED558CCDull;
        h = (h << 31) | (h >> 33);
        p += 8;
        n -= 8;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    h ^= tail * kMul;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 29;
    return h;
}

namespace {

// A piece large enough that a read costs little per byte, small enough to keep memory low.
// A short read (the lines a file grew by since the last refresh) takes a smaller one: memory
// a process touches for the first time costs more than the copy into it.
constexpr std::size_t kPiece = 1u << 20;
constexpr std::size_t kSmallestPiece = 64u << 10;

ssize_t readAt(int fd, char* into, std::size_t want, std::int64_t at) {
    ssize_t n;
    do {
        n = ::pread(fd, into, want, off_t(at));
    } while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace

LogTail::~LogTail() {
    if (data_) ::munmap(data_, capacity_);
}

bool LogTail::grow(std::size_t capacity) {
    // Mapped, not taken from the heap, so a long line's buffer is given back whole.
    void* mapped =
        ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return false;
    if (data_) {
        std::memcpy(mapped, data_, capacity_);
        ::munmap(data_, capacity_);
    }
    data_ = static_cast<char*>(mapped);
    capacity_ = capacity;
    return true;
}

std::int64_t LogTail::read(int fd, std::int64_t offset, std::int64_t size,
                           const std::function<void(std::string_view)>& line,
                           const std::function<void(std::int64_t)>& progress) {
    constexpr std::size_t kPadding = simdjson::SIMDJSON_PADDING;
    std::size_t held = 0;        // bytes in the buffer not yet handed out
    std::int64_t at = offset;    // file offset of the buffer's first byte
    bool skipping = false;       // inside a line too long to keep
    std::int64_t done = offset;  // just after the last line break
    const std::size_t piece = std::clamp<std::size_t>(
        std::size_t(std::max<std::int64_t>(size - offset, 0) / 16), kSmallestPiece, kPiece);
    while (at + std::int64_t(held) < size) {
        if (capacity_ < held + piece + kPadding &&
            !grow(std::max(2 * capacity_, held + piece + kPadding))) {
            return -1;
        }
        // As much as the buffer holds, up to a whole piece: once a large file has grown it,
        // every read uses it, and a buffer grown for a long line is not filled whole.
        const std::size_t want = std::size_t(
            std::min<std::int64_t>(std::int64_t(std::min(capacity_ - held - kPadding, kPiece)),
                                   size - at - std::int64_t(held)));
        const ssize_t n = readAt(fd, data_ + held, want, at + std::int64_t(held));
        if (n < 0) return -1;
        if (n == 0) break;  // cut short since it was measured
        const std::size_t scannedFrom = held;
        held += std::size_t(n);
        std::memset(data_ + held, 0, kPadding);
        if (progress) progress(n);
        const char* const end = data_ + held;
        const char* p = data_;
        const char* stop = CliLogParsing::findLineBreak(data_ + scannedFrom, end);
        while (stop < end) {
            const std::size_t length = std::size_t(stop - p);
            if (!skipping && length > 0 && length <= kMaxLineBytes) {
                // A line's own padding: the byte after it is its line break; the following
                // line's bytes stand in for the rest, which simdjson only needs readable.
                line(std::string_view(p, length));
            }
            skipping = false;
            p = stop + 1;
            done = at + std::int64_t(p - data_);
            stop = CliLogParsing::findLineBreak(p, end);
        }
        const std::size_t consumed = std::size_t(p - data_);
        std::memmove(data_, p, held - consumed);
        held -= consumed;
        at += std::int64_t(consumed);
        if (held > kMaxLineBytes) {
            // Too long to keep: drop what is held and pass over the rest of the line.
            skipping = true;
            at += std::int64_t(held);
            held = 0;
        }
    }
    return done;
}

HeadHash headHash(int fd, std::uint32_t length) {
    char buffer[kHeadBytes];
    length = std::min(length, kHeadBytes);
    const ssize_t n = readAt(fd, buffer, length, 0);
    if (n <= 0) return {};
    return {std::uint32_t(n), hash64(std::string_view(buffer, std::size_t(n)))};
}

}  // namespace qm::ledger
