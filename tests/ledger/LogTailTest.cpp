#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QFile>
#include <string>
#include <vector>

#include "ledger/LogTail.h"
#include "support/TempDir.h"

namespace qm::ledger {
namespace {

// Lines of every size around the buffer's pieces, one too long to keep, and a last line still
// being written: whatever the starting point and whatever one tail read before, each whole
// line comes out once, intact, and the offset returned is just after the last line break.
TEST(LogTailTest, EveryWholeLineOnceFromAnyOffsetAndBufferHistory) {
    std::vector<std::string> lines;
    for (const std::size_t length : {10u, 70'000u, 5u, 300'000u, 1u, 65'536u, 2'000'000u, 7u}) {
        lines.push_back(std::string(length, char('a' + lines.size())));
    }
    const std::string tooLong(LogTail::kMaxLineBytes + 10, 'z');
    std::string bytes;
    std::vector<std::int64_t> starts;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        starts.push_back(std::int64_t(bytes.size()));
        bytes += lines[i] + "\n";
        if (i == 4) bytes += tooLong + "\n";
    }
    const std::int64_t whole = std::int64_t(bytes.size());
    bytes += "{\"half";
    test::TempDir dir;
    const QString path = dir.write("log.jsonl", QByteArray::fromStdString(bytes));
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);

    for (const std::int64_t before : {std::int64_t(-1), std::int64_t(0), starts[6]}) {
        for (std::size_t first = 0; first < lines.size(); ++first) {
            LogTail tail;
            if (before >= 0) tail.read(fd, before, whole, [](std::string_view) {});
            std::vector<std::string> seen;
            const std::int64_t done =
                tail.read(fd, starts[first], std::int64_t(bytes.size()),
                          [&](std::string_view line) { seen.emplace_back(line); });
            EXPECT_EQ(done, whole);
            ASSERT_EQ(seen.size(), lines.size() - first) << before << " " << first;
            for (std::size_t i = first; i < lines.size(); ++i) {
                EXPECT_TRUE(seen[i - first] == lines[i]) << before << " " << first << " " << i;
            }
        }
    }
    ::close(fd);
}

}  // namespace
}  // namespace qm::ledger
