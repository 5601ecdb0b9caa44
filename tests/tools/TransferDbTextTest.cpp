// The tool's texts for people, built from its own sources: names escaped for a terminal,
// numbers, sizes and durations, and the progress line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Progress.h"
#include "Text.h"
#include "Tool.h"

namespace {
using namespace transferdb;

TEST(TransferDbTextTest, NamesReachATerminalAsOneLineThatCannotSteerIt) {
    const struct {
        std::string name;
        std::string shown;
        const char* behaviour;
    } rows[] = {
        {"plain name.txt", "plain name.txt", "printable text stays as it is"},
        {"日本 😀 ä", "日本 😀 ä", "characters past ASCII stay whole"},
        {"line\nbreak\ttab\rreturn", "line\\nbreak\\ttab\\rreturn", "line breaks are escaped"},
        {"esc\x1b[31m", "esc\\x1b[31m", "an escape sequence is escaped"},
        {"del\x7f", "del\\x7f", "DEL is escaped"},
        {"c1 \xc2\x9b", "c1 \\u009b", "a C1 control is escaped"},
        {"nbsp \xc2\xa0", "nbsp \xc2\xa0", "the character after the C1 controls is not"},
        {"rtl \xe2\x80\xae", "rtl \\u202e", "a direction override is escaped"},
        {"mark \xe2\x80\x8f", "mark \\u200f", "a direction mark is escaped"},
        {"isolate \xe2\x81\xa9", "isolate \\u2069", "a direction isolate is escaped"},
        {"bad \xff end", "bad \\xff end", "a byte that is not UTF-8 is shown by its value"},
        {"cut \xe6\x97", "cut \\xe6\\x97", "a sequence cut short is shown byte by byte"},
        {"overlong \xc0\xaf", "overlong \\xc0\\xaf", "an overlong form is not a character"},
        {"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80", "a surrogate is not one"},
        {std::string("nul\0x", 5), "nul\\x00x", "a zero byte is escaped"},
    };
    for (const auto& row : rows) EXPECT_EQ(Printable(row.name), row.shown) << row.behaviour;
    EXPECT_EQ(Printable(std::wstring(L"wide\nline \u202e")), "wide\\nline \\u202e")
        << "wide text is escaped as its UTF-8";
}

TEST(TransferDbTextTest, WideTextAndPathsConvertToUtf8AndBack) {
    EXPECT_EQ(Utf8(std::wstring(L"ä 日本 \U0001F600")), "ä 日本 😀") << "every plane";
    std::wstring text;
    EXPECT_TRUE(TextFromPath(std::filesystem::u8path("a/ä.txt"), text)) << "UTF-8 converts";
    EXPECT_EQ(text, L"a/ä.txt") << "and gives the same text";
    if (sizeof(std::filesystem::path::value_type) == 1) {  // a POSIX name is bytes
        EXPECT_FALSE(TextFromPath(std::filesystem::path("bad \xff.txt"), text))
            << "a name that is not UTF-8 does not convert strictly";
        EXPECT_EQ(TextFromPathLossy(std::filesystem::path("bad \xff\xe6\x97.txt")),
                  L"bad \uFFFD\uFFFD.txt")
            << "but can be reported, each broken sequence replaced";
    }
    EXPECT_EQ(Utf8(PathFromText(L"日本/ä")), "日本/ä") << "a path made from the library's text";
}

TEST(TransferDbTextTest, NumbersSizesAndDurationsReadAsPeopleWriteThem) {
    const struct {
        std::string got;
        std::string want;
        const char* behaviour;
    } rows[] = {
        {Grouped(0), "0", "zero"},
        {Grouped(999), "999", "three digits without a comma"},
        {Grouped(1000), "1,000", "a comma before each three digits"},
        {Grouped(1234567), "1,234,567", "millions"},
        {Grouped(-1234), "-1,234", "a negative number keeps its sign"},
        {FormatSize(0), "0 B", "no bytes"},
        {FormatSize(1023), "1023 B", "below a kilobyte in bytes"},
        {FormatSize(1024), "1.0 KB", "a kilobyte"},
        {FormatSize(1536 * 1024), "1.5 MB", "megabytes with one decimal"},
        {FormatSize(5LL << 40), "5.0 TB", "terabytes"},
        {FormatSize(2048LL << 40), "2048.0 TB", "terabytes is the largest unit"},
        {FormatDuration(0), "0:00:00", "no time"},
        {FormatDuration(125), "0:02:05", "minutes and seconds"},
        {FormatDuration(90061), "25:01:01", "hours past a day"},
        {FormatDuration(-61), "-0:01:01", "a negative time keeps its sign"},
        {ErrorText(1000000), "injected failure", "the failures made on purpose"},
        {ErrorText(1000002), "its copy differs from it (found by verify)", "verify's code"},
        {ErrorText(1000003), "its copy is missing (found by verify)", "verify's other code"},
        {TaskStateText(0), "unfinished", "a running task"},
        {TaskStateText(2), "finished with failures", "a task with failures"},
        {TaskStateText(7), "status 7", "a state this tool does not write"},
    };
    for (const auto& row : rows) EXPECT_EQ(row.got, row.want) << row.behaviour;
    EXPECT_EQ(FormatTime(0).size(), 19u) << "a time as YYYY-MM-DD HH:MM:SS";
}

TEST(TransferDbTextTest, ProgressSaysWhatIsDoneOfTheTotalTheRateAndTheTimeLeft) {
    const struct {
        ProgressFigures figures;
        std::string line;
        const char* behaviour;
    } rows[] = {
        {{0, 10, 0, 4096, 0, 0, 0},
         "0 of 10 files, 0 B of 4.0 KB (0%)",
         "at the start: no rate and no time yet"},
        {{5, 10, 2048, 4096, 0, 0, 0.5},
         "5 of 10 files, 2.0 KB of 4.0 KB (50%)",
         "no rate before a second has passed"},
        {{5, 10, 2048, 4096, 0, 0, 2},
         "5 of 10 files, 2.0 KB of 4.0 KB (50%), 1.0 KB/s, 0:00:02 left",
         "half done in two seconds: two seconds left"},
        {{1000, 4000, 3 << 20, 4 << 20, 0, 0, 10},
         "1,000 of 4,000 files, 3.0 MB of 4.0 MB (75%), 307.2 KB/s, 0:00:10 left",
         "the time left follows the mean of the files' and the bytes' shares"},
        {{6, 10, 0, 0, 0, 0, 3},
         "6 of 10 files, 0 B of 0 B (60%), 0 B/s, 0:00:02 left",
         "empty files: the share and the time left follow the files"},
        {{8, 10, 8192, 10240, 6, 6144, 4},
         "8 of 10 files, 8.0 KB of 10.0 KB (80%), 512 B/s, 0:00:04 left",
         "a resume's rate and time count only this run's work"},
        {{10, 10, 4096, 4096, 0, 0, 3},
         "10 of 10 files, 4.0 KB of 4.0 KB (100%), 1.3 KB/s, 0:00:00 left",
         "at the end nothing is left"},
        {{0, 10, 0, 4096, 0, 0, 5},
         "0 of 10 files, 0 B of 4.0 KB (0%), 0 B/s",
         "no time left is guessed from no progress"},
        {{12, 10, 5000, 4096, 0, 0, 0},
         "12 of 10 files, 4.9 KB of 4.0 KB (100%)",
         "more than the total never shows more than 100%"},
    };
    for (const auto& row : rows) EXPECT_EQ(ProgressText(row.figures), row.line) << row.behaviour;
}

}  // namespace
