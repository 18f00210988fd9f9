#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "ledger/LedgerRecords.h"

namespace qm::ledger {

// Reads the complete lines of a file from an offset on, one buffer reused for every file. A
// last line without its line break may still be being written: it is left for the next read,
// so it is never counted twice. Lines are handed out with simdjson's padding readable behind
// them.
class LogTail {
public:
    // Lines longer than this are passed over whole (tool output and screenshots).
    static constexpr std::size_t kMaxLineBytes = 16u << 20;

    LogTail() = default;
    LogTail(const LogTail&) = delete;
    LogTail& operator=(const LogTail&) = delete;
    ~LogTail();

    // Calls `line` for every non-empty complete line from `offset` up to `size`, and
    // `progress` with the bytes read since the last call. Returns the offset just after the
    // last line break read, or -1 when the file cannot be read.
    std::int64_t read(int fd, std::int64_t offset, std::int64_t size,
                      const std::function<void(std::string_view)>& line,
                      const std::function<void(std::int64_t)>& progress = {});

private:
    bool grow(std::size_t capacity);

    char* data_ = nullptr;
    std::size_t capacity_ = 0;
};

// The hash of a file's first `length` bytes (fewer when the file is shorter), and how many were
// hashed. Used to notice a file replaced by another of the same name.
struct HeadHash {
    std::uint32_t length = 0;
    std::uint64_t hash = 0;
};
inline constexpr std::uint32_t kHeadBytes = 4096;
HeadHash headHash(int fd, std::uint32_t length = kHeadBytes);

}  // namespace qm::ledger
