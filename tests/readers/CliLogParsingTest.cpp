#include <gtest/gtest.h>

#include <QFile>
#include <QMutex>
#include <QStringList>
#include <cmath>

#include "OpenedFiles.h"
#include "readers/CliLogParsing.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::CliLogParsing;
using qm::test::TempDir;

namespace {

QStringList linesOf(const QByteArray& bytes, std::uint64_t maxBytes = 1'000'000) {
    TempDir dir;
    return readLines(dir.write(QStringLiteral("f.jsonl"), bytes), maxBytes);
}

// The same file read piece by piece.
QStringList streamedLinesOf(const QByteArray& bytes) {
    TempDir dir;
    QStringList lines;
    LineStream stream;
    EXPECT_TRUE(
        stream.forEachLine(dir.write(QStringLiteral("f.jsonl"), bytes), [&](std::string_view line) {
            lines.append(QString::fromUtf8(line.data(), qsizetype(line.size())));
        }));
    return lines;
}

}  // namespace

TEST(ReadLines, SplitsOnlyAtTheFourLineBreaks) {
    EXPECT_EQ(linesOf("a\r\nb\rc\n\n\r\nd"), (QStringList{"a", "b", "c", "d"}));
    // Vertical tab and form feed end a line too (neither may stand raw in a JSON string), also
    // where the fast path looks at sixteen bytes at a time.
    const QByteArray breaks = "a\vb\fc\x0B\x0C" + QByteArray(20, 'x') + "\f" + QByteArray(17, 'y');
    const QStringList expected{"a", "b", "c", QString(20, 'x'), QString(17, 'y')};
    EXPECT_EQ(linesOf(breaks), expected);
    EXPECT_EQ(streamedLinesOf(breaks), expected);
    // U+0085, U+2028 and U+2029 may stand raw inside a JSON string: they do not end a line.
    const QByteArray raw =
        "{\"text\":\"one\xC2\x85two\xE2\x80\xA8three\xE2\x80\xA9"
        "four\"}\nnext";
    const QStringList lines = linesOf(raw);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QString::fromUtf8(raw.left(raw.indexOf('\n'))));
    EXPECT_EQ(linesOf(""), QStringList{});
    EXPECT_EQ(linesOf("\n\r\n\r"), QStringList{});
}

TEST(ReadLines, TheWideSearchFindsEveryBreakAtEveryPlace) {
    // Each break, at every place around the 16- and 32-byte steps of the fast paths, with
    // bytes just outside the range (0x09, 0x0E, 0x8A) before it.
    for (char brk : {'\n', '\v', '\f', '\r'}) {
        for (int length = 0; length < 80; ++length) {
            for (int at = 0; at <= length; ++at) {
                QByteArray bytes(length, '\x0E');
                for (int i = 0; i < length; i += 3) bytes[i] = i % 2 ? '\t' : '\x8A';
                if (at < length) bytes[at] = brk;
                const char* found =
                    CliLogParsing::findLineBreak(bytes.constData(), bytes.constData() + length);
                ASSERT_EQ(found - bytes.constData(), at) << "length " << length;
            }
        }
    }
}

TEST(LineStream, LinesAcrossPiecesLongLinesAndByteOrderMark) {
    // Lines that straddle the reader's pieces come out whole; the mark is dropped.
    QByteArray bytes =
        "\xEF\xBB\xBF"
        "first\n";
    QStringList expected{"first"};
    for (int i = 0; i < 5; ++i) {
        const QByteArray line((i + 1) * 700'000, char('a' + i));
        bytes += line + "\r\n";
        expected.append(QString::fromLatin1(line));
    }
    // A line over the limit is passed over whole, and what follows it is still read.
    bytes += QByteArray(int(LineStream::kMaxLineBytes) + 5, 'z') + "\nafter\nlast";
    expected += QStringList{"after", "last"};
    // Compared as length and first character, so a failure stays readable.
    const auto shape = [](const QStringList& lines) {
        QStringList shapes;
        for (const QString& line : lines)
            shapes.append(QString::number(line.size()) + line.left(1));
        return shapes;
    };
    EXPECT_EQ(shape(streamedLinesOf(bytes)), shape(expected));

    TempDir dir;
    LineStream stream;
    EXPECT_FALSE(stream.forEachLine(dir.filePath(QStringLiteral("missing")), [](auto) {}));
    EXPECT_FALSE(stream.forEachLine(dir.path(), [](auto) {}));
}

TEST(ReadLines, OneBadLineDoesNotSpoilTheOthers) {
    // A stray byte in one line, and a multi-byte character cut off at the end of a log that is
    // still being written: only those lines go.
    const QByteArray bytes =
        "{\"a\":\"caf\xC3\xA9\"}\n{\"b\":\"\xFF\"}\n{\"c\":1}\n{\"d\":\"\xE2\x82";
    EXPECT_EQ(linesOf(bytes), (QStringList{QString::fromUtf8("{\"a\":\"caf\xC3\xA9\"}"),
                                           QStringLiteral("{\"c\":1}")}));
}

TEST(ReadLines, DecodesUtf16OnlyWithAByteOrderMark) {
    const QString text = QString::fromUtf8("{\"a\":\"\xC3\xA9\"}\r\n{\"b\":2}");
    QByteArray le("\xFF\xFE", 2);
    QByteArray be("\xFE\xFF", 2);
    for (QChar c : text) {
        const char16_t u = c.unicode();
        le.append(char(u & 0xFF)).append(char(u >> 8));
        be.append(char(u >> 8)).append(char(u & 0xFF));
    }
    const QStringList expected{QString::fromUtf8("{\"a\":\"\xC3\xA9\"}"), "{\"b\":2}"};
    EXPECT_EQ(linesOf(le), expected);
    EXPECT_EQ(linesOf(be), expected);
    // A UTF-8 byte order mark is dropped, so the first record still decodes.
    EXPECT_EQ(linesOf("\xEF\xBB\xBF{\"b\":2}"), QStringList{"{\"b\":2}"});
    // Without a mark, UTF-16-looking bytes are just bytes (NULs make no valid line here).
    EXPECT_EQ(linesOf(QByteArray("{\0\"\0", 4)).size(), 1);
}

TEST(ReadLines, LimitIsCheckedBeforeReading) {
    TempDir dir;
    const QString path = dir.write(QStringLiteral("f.jsonl"), "12345\n789");
    EXPECT_EQ(readLines(path, 9), (QStringList{"12345", "789"}));  // exactly the limit
    EXPECT_EQ(readLines(path, 8), QStringList{});                  // one byte over
    EXPECT_EQ(readLines(dir.filePath(QStringLiteral("missing")), 100), QStringList{});
    EXPECT_EQ(readLines(dir.path(), 1'000'000), QStringList{});  // a directory
    EXPECT_EQ(fileSize(path), 9u);
    EXPECT_EQ(fileSize(dir.filePath(QStringLiteral("missing"))), 0u);
}

namespace {
using test::g_opened;
using test::recordOpen;
}  // namespace

TEST(ReadLines, OversizedFilesAreNeverOpened) {
    TempDir dir;
    const QString small = dir.write(QStringLiteral("small"), "1\n");
    const QString large = dir.write(QStringLiteral("large"), "1234\n");
    g_opened.clear();
    setOpenObserver(recordOpen);
    readLines(small, 4);
    readLines(large, 4);
    setOpenObserver(nullptr);
    EXPECT_EQ(g_opened, QStringList{small});
}

namespace {

simdjson::dom::object domObject(simdjson::dom::parser& parser, const std::string& json) {
    return parser.parse(json).get_object().value();
}

// Runs the on-demand variant over `json`'s top-level object.
std::int64_t onDemandInt64(const std::string& json, std::initializer_list<std::string_view> keys) {
    simdjson::ondemand::parser parser;
    simdjson::padded_string padded(json);
    auto doc = parser.iterate(padded);
    simdjson::ondemand::object object = doc.get_object();
    std::int64_t out = -1;
    EXPECT_EQ(int64(object, keys, out), simdjson::SUCCESS);
    return out;
}

}  // namespace

TEST(Int64, FirstKeyHoldingANumberWins) {
    simdjson::dom::parser parser;
    const std::vector<std::pair<std::string, std::int64_t>> cases = {
        {R"({"input_tokens":"12","prompt_tokens":7})", 7},  // text is passed over
        {R"({"input_tokens":0,"prompt_tokens":7})", 0},     // a 0 still wins
        {R"({"input_tokens":12.9})", 12},
        {R"({"input_tokens":-12.9})", -12},
        {R"({"input_tokens":null,"prompt_tokens":[1],"x":{}})", 0},
        {R"({"input_tokens":true,"prompt_tokens":3})", 3},
        {R"({"input_tokens":18446744073709551615})", std::numeric_limits<std::int64_t>::max()},
        {R"({"input_tokens":-1e300})", std::numeric_limits<std::int64_t>::min()},
        {R"({})", 0},
    };
    for (const auto& [json, expected] : cases) {
        EXPECT_EQ(int64(domObject(parser, json), {"input_tokens", "prompt_tokens"}), expected)
            << json;
        EXPECT_EQ(onDemandInt64(json, {"input_tokens", "prompt_tokens"}), expected) << json;
    }
}

// Counts from a log keep the one rule for outside figures; whatever breaks it is no count at
// all, never one cut to fit.
TEST(TokenCountAt, WholeNumbersUpToTenToTheFifteenthOrNothing) {
    simdjson::dom::parser parser;
    const std::vector<std::pair<std::string, std::optional<std::int64_t>>> cases = {
        {R"({"input_tokens":"12","prompt_tokens":7})", 7},
        {R"({"input_tokens":null})", 0},
        {R"({})", 0},
        {R"({"input_tokens":12.0})", 12},
        {R"({"input_tokens":1000000000000000})", 1'000'000'000'000'000},
        {R"({"input_tokens":1000000000000001})", std::nullopt},
        {R"({"input_tokens":9223372036854775807})", std::nullopt},
        {R"({"input_tokens":18446744073709551615})", std::nullopt},
        {R"({"input_tokens":-1,"prompt_tokens":7})", std::nullopt},  // the first number decides
        {R"({"input_tokens":12.5})", std::nullopt},
        {R"({"input_tokens":1e300})", std::nullopt},
        {R"({"input_tokens":-0.0})", 0},
    };
    for (const auto& [json, expected] : cases) {
        EXPECT_EQ(tokenCountAt(domObject(parser, json), {"input_tokens", "prompt_tokens"}),
                  expected)
            << json;
    }
}

TEST(ProjectName, LastComponentOfTheDecodedPath) {
    EXPECT_EQ(projectName(QStringLiteral("/Users/me/work/app")), "app");
    EXPECT_EQ(projectName(QStringLiteral("/Users/me/my%20app/")), "my app");
    EXPECT_EQ(projectName(QStringLiteral("   ")), "unknown");
    EXPECT_EQ(projectName(QStringLiteral("///")), "unknown");
    EXPECT_EQ(projectName(QString()), "unknown");
    // A stray percent sign keeps the text as it is.
    EXPECT_EQ(projectName(QStringLiteral("/work/100%/x%zz")), "x%zz");
    EXPECT_EQ(projectName(QStringLiteral("\\\\?\\C:\\work\\app")), "C:\\work\\app");
    EXPECT_EQ(projectName(QStringLiteral("relative")), "relative");
}

TEST(Prompts, RealPromptsAndTasks) {
    EXPECT_TRUE(isRealUserPrompt(QStringLiteral("Fix the build")));
    EXPECT_FALSE(isRealUserPrompt(QStringLiteral("  <ENVIRONMENT_CONTEXT> cwd ...")));
    EXPECT_FALSE(isRealUserPrompt(QStringLiteral(" \n\t ")));
    EXPECT_FALSE(
        isRealUserPrompt(QStringLiteral("# AGENTS.md instructions for /w\n\n<INSTRUCTIONS>")));
    EXPECT_FALSE(isRealUserPrompt(QStringLiteral("<collaboration_mode>pair</collaboration_mode>")));
    EXPECT_FALSE(isRealUserPrompt(QStringLiteral("<turn_aborted>\n x\n</turn_aborted>\n")));
    // Tags a person may well type are text.
    EXPECT_TRUE(isRealUserPrompt(QStringLiteral("<div>why is this centred?</div>")));
    EXPECT_TRUE(isRealUserPrompt(QStringLiteral("<my_tag> is not closed")));

    EXPECT_EQ(shortenedTask(QStringLiteral("  one\ntwo\r\nthree  ")), "one two  three");
    const QString hundred(100, QLatin1Char('x'));
    EXPECT_EQ(shortenedTask(hundred), QString(60, QLatin1Char('x')) + "...");
    EXPECT_EQ(shortenedTask(QString(60, QLatin1Char('y'))), QString(60, QLatin1Char('y')));
    // Characters, not code units: 61 emoji are cut after the 60th whole one.
    QString emoji;
    for (int i = 0; i < 61; ++i) emoji += QString::fromUtf8("\xF0\x9F\x9A\x80");
    EXPECT_EQ(shortenedTask(emoji), emoji.left(120) + "...");
    // Only the head of a very long prompt is looked at, even when it is mostly blanks.
    EXPECT_EQ(shortenedTask(QString(2000, QLatin1Char('\n')) + "x" +
                            QString(5000, QLatin1Char(' ')) + "y"),
              "x" + QString(59, QLatin1Char(' ')) + "...");
}

TEST(Status, RecencyBoundaries) {
    const TimeMs now = 1'750'000'000'000;
    const auto at = [&](double secondsAgo) {
        return status(now - TimeMs(std::llround(secondsAgo * 1000)), now);
    };
    EXPECT_EQ(status(std::nullopt, now),
              std::make_pair(QStringLiteral("No local data"), UsageStatusLevel::unknown));
    EXPECT_EQ(at(4 * 60 + 59), std::make_pair(QStringLiteral("Active"), UsageStatusLevel::good));
    EXPECT_EQ(at(5 * 60), std::make_pair(QStringLiteral("Recent"), UsageStatusLevel::warn));
    EXPECT_EQ(at(59 * 60 + 59.999),
              std::make_pair(QStringLiteral("Recent"), UsageStatusLevel::warn));
    EXPECT_EQ(at(60 * 60), std::make_pair(QStringLiteral("Idle"), UsageStatusLevel::high));
    EXPECT_EQ(at(-600), std::make_pair(QStringLiteral("Active"), UsageStatusLevel::good));
}
