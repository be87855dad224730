// The head rules: what a response head must show before a byte of its body
// may reach the .part (status, Content-Range, Content-Length, encodings),
// read line by line as libcurl delivers them.
#include "libquarn/response.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quarn::engine {
namespace {

struct RangeRow {
    const char* value;
    bool ok;
    int64_t first, last, total;
};

TEST(ContentRange, ParsesTheSatisfiedFormOnly) {
    const RangeRow rows[] = {
        {"bytes 0-99/100", true, 0, 99, 100},
        {"bytes 100-199/*", true, 100, 199, -1},
        {"BYTES 5-5/6", true, 5, 5, 6},
        {"  bytes   10 - 19 / 20  ", true, 10, 19, 20},
        {"bytes 0-9223372036854775806/9223372036854775807", true, 0, 9223372036854775806,
         9223372036854775807},
        {"bytes 5-4/10", false, 0, 0, 0},  // last before first
        {"bytes 0-99/99", false, 0, 0, 0}, // a total the range does not fit in
        {"bytes 0-99/100x", false, 0, 0, 0},
        {"bytes -5/10", false, 0, 0, 0}, // a suffix is a request's form, not a reply's
        {"bytes 0-/10", false, 0, 0, 0},
        {"bytes 0-9", false, 0, 0, 0},    // no total
        {"bytes 0/10-9", false, 0, 0, 0}, // the dash after the slash
        {"bytes */100", false, 0, 0, 0},  // the unsatisfied form (416)
        {"bytes +1-2/3", false, 0, 0, 0},
        {"bytes 0-99999999999999999999/*", false, 0, 0, 0}, // past 64 bits
        {"items 0-9/10", false, 0, 0, 0},
        {"bytes=0-9/10", false, 0, 0, 0},
        {"", false, 0, 0, 0},
    };
    for (const RangeRow& row : rows) {
        int64_t first = -7, last = -7, total = -7;
        EXPECT_EQ(parseContentRange(row.value, first, last, total), row.ok) << row.value;
        if (row.ok) {
            EXPECT_EQ(first, row.first) << row.value;
            EXPECT_EQ(last, row.last) << row.value;
            EXPECT_EQ(total, row.total) << row.value;
        } else {
            // A refused value leaves what was there.
            EXPECT_EQ(first, -7) << row.value;
            EXPECT_EQ(last, -7) << row.value;
        }
    }
}

constexpr int64_t kSize = 1000;

// What was asked: the whole file without a Range, or bytes [from, to).
Expectation whole() {
    return {0, kSize, kSize, false};
}
Expectation piece(int64_t from, int64_t to) {
    return {from, to, kSize, true};
}

struct HeadRow {
    const char* name;
    std::vector<std::string> lines; // the status line first; the blank line is added
    Expectation want;
    Verdict verdict;
    int64_t bodyStart = 0;
    int64_t length = -1;
};

ResponseHead headOf(const std::vector<std::string>& lines) {
    ResponseHead head;
    for (const std::string& line : lines) head.addLine(line + "\r\n");
    head.addLine("\r\n");
    return head;
}

class HeadRules : public ::testing::TestWithParam<HeadRow> {};

TEST_P(HeadRules, Judge) {
    const HeadRow& row = GetParam();
    const ResponseHead head = headOf(row.lines);
    EXPECT_TRUE(head.complete);
    const Judgement j = judge(head, row.want);
    EXPECT_EQ(j.verdict, row.verdict);
    if (row.verdict == Verdict::Accept || row.verdict == Verdict::Unranged) {
        EXPECT_EQ(j.bodyStart, row.bodyStart);
        EXPECT_EQ(j.length, row.length);
    }
}

const std::string kLength = "Content-Length: 1000";

INSTANTIATE_TEST_SUITE_P(
    Response, HeadRules,
    ::testing::Values(
        // The whole file, asked without a range.
        HeadRow{"WholeFile", {"HTTP/1.1 200 OK", kLength}, whole(), Verdict::Accept, 0, kSize},
        HeadRow{"WholeFileOfUnknownLength", {"HTTP/1.1 200 OK"}, whole(), Verdict::Accept, 0, -1},
        HeadRow{"WholeFileTooShort",
                {"HTTP/1.1 200 OK", "Content-Length: 999"},
                whole(),
                Verdict::Reject},
        HeadRow{"WholeFileTooLong",
                {"HTTP/1.1 200 OK", "Content-Length: 1001"},
                whole(),
                Verdict::Reject},
        HeadRow{"HeaderNamesInAnyCase",
                {"HTTP/1.1 200 OK", "CONTENT-LENGTH:   999 "},
                whole(),
                Verdict::Reject},
        HeadRow{"UnparsableLength",
                {"HTTP/1.1 200 OK", "Content-Length: 1e3"},
                whole(),
                Verdict::Reject},
        HeadRow{"TwoLengthsThatAgree",
                {"HTTP/1.1 200 OK", kLength, kLength},
                whole(),
                Verdict::Accept,
                0,
                kSize},
        HeadRow{"TwoLengthsThatDiffer",
                {"HTTP/1.1 200 OK", kLength, "Content-Length: 10"},
                whole(),
                Verdict::Reject},
        // A range asked, the whole file answered.
        HeadRow{"WholeFileForAPiece",
                {"HTTP/1.1 200 OK", kLength},
                piece(100, 200),
                Verdict::Unranged,
                0,
                kSize},
        HeadRow{"WholeFileForARangeOfItAll",
                {"HTTP/1.1 200 OK", kLength},
                piece(0, kSize),
                Verdict::Accept,
                0,
                kSize},
        HeadRow{"WholeFileOfAnotherSizeForAPiece",
                {"HTTP/1.1 200 OK", "Content-Length: 5"},
                piece(100, 200),
                Verdict::Reject},
        // Ranges.
        HeadRow{"ExactRange",
                {"HTTP/1.1 206 Partial Content", "Content-Range: bytes 100-199/1000",
                 "Content-Length: 100"},
                piece(100, 200),
                Verdict::Accept,
                100,
                100},
        HeadRow{"RangeToTheEnd",
                {"HTTP/1.1 206 Partial Content", "Content-Range: bytes 900-999/1000",
                 "Content-Length: 100"},
                piece(900, kSize),
                Verdict::Accept,
                900,
                100},
        HeadRow{"RangeOfUnknownTotal",
                {"HTTP/1.1 206 Partial Content", "Content-Range: bytes 100-199/*",
                 "Content-Length: 100"},
                piece(100, 200),
                Verdict::Accept,
                100,
                100},
        HeadRow{"RangeWithoutLength",
                {"HTTP/1.1 206 Partial Content", "Content-Range: bytes 100-199/1000"},
                piece(100, 200),
                Verdict::Accept,
                100,
                -1},
        HeadRow{"RangeStartingElsewhere",
                {"HTTP/1.1 206 Partial Content", "Content-Range: bytes 0-99/1000"},
                piece(100, 200),
                Verdict::Reject},
        HeadRow{"RangeEndingElsewhere",
                {"HTTP/1.1 206 Partial Content", "Content-Range: bytes 100-149/1000"},
                piece(100, 200),
                Verdict::Reject},
        HeadRow{"RangeOfAFileOfAnotherSize",
                {"HTTP/1.1 206 Partial Content", "Content-Range: bytes 100-199/1001"},
                piece(100, 200),
                Verdict::Reject},
        HeadRow{"RangeLengthDisagreesWithItsSpan",
                {"HTTP/1.1 206 Partial Content", "Content-Range: bytes 100-199/1000",
                 "Content-Length: 99"},
                piece(100, 200),
                Verdict::Reject},
        HeadRow{"RangeWithoutContentRange",
                {"HTTP/1.1 206 Partial Content", "Content-Length: 100"},
                piece(100, 200),
                Verdict::Reject},
        HeadRow{"RangeWithABrokenContentRange",
                {"HTTP/1.1 206 Partial Content", "Content-Range: bytes 100-199"},
                piece(100, 200),
                Verdict::Reject},
        HeadRow{"RangeNobodyAskedFor",
                {"HTTP/1.1 206 Partial Content", "Content-Range: bytes 0-999/1000"},
                whole(),
                Verdict::Reject},
        // Encodings: only identity bytes are the file's bytes.
        HeadRow{"Gzipped",
                {"HTTP/1.1 200 OK", kLength, "Content-Encoding: gzip"},
                whole(),
                Verdict::Reject},
        HeadRow{"IdentityEncoding",
                {"HTTP/1.1 200 OK", kLength, "Content-Encoding: Identity"},
                whole(),
                Verdict::Accept,
                0,
                kSize},
        HeadRow{"TwoEncodingFields",
                {"HTTP/1.1 200 OK", kLength, "Content-Encoding: identity", "Content-Encoding: br"},
                whole(),
                Verdict::Reject},
        HeadRow{"Chunked",
                {"HTTP/1.1 200 OK", "Transfer-Encoding: chunked"},
                whole(),
                Verdict::Accept,
                0,
                -1},
        HeadRow{"GzipTransferCoding",
                {"HTTP/1.1 200 OK", "Transfer-Encoding: gzip, chunked"},
                whole(),
                Verdict::Reject},
        // Redirects and errors.
        HeadRow{
            "Redirect", {"HTTP/1.1 302 Found", "Location: /elsewhere"}, whole(), Verdict::Redirect},
        HeadRow{"PermanentRedirect",
                {"HTTP/1.1 308 Permanent Redirect", "Location: /x"},
                piece(100, 200),
                Verdict::Redirect},
        HeadRow{"RedirectWithoutLocation", {"HTTP/1.1 302 Found"}, whole(), Verdict::Reject},
        HeadRow{
            "NotModified", {"HTTP/1.1 304 Not Modified", "Location: /x"}, whole(), Verdict::Reject},
        HeadRow{"NotFound", {"HTTP/1.1 404 Not Found", kLength}, whole(), Verdict::Reject},
        HeadRow{"RangeNotSatisfiable",
                {"HTTP/1.1 416 Range Not Satisfiable", "Content-Range: bytes */1000"},
                piece(100, 200),
                Verdict::Reject},
        HeadRow{"ServerError",
                {"HTTP/1.1 500 Internal Server Error", kLength},
                whole(),
                Verdict::Reject},
        HeadRow{"NoStatus", {"HTTP/1.1 OK", kLength}, whole(), Verdict::Reject},
        // A new status line starts over: an interim answer, or the next hop.
        HeadRow{"AfterContinue",
                {"HTTP/1.1 100 Continue", "Content-Length: 5", "", "HTTP/1.1 200 OK", kLength},
                whole(),
                Verdict::Accept,
                0,
                kSize},
        HeadRow{"NextHopForgetsTheLocation",
                {"HTTP/1.1 302 Found", "Location: /x", "", "HTTP/2 200", kLength},
                whole(),
                Verdict::Accept,
                0,
                kSize},
        HeadRow{"NextHopForgetsTheEncoding",
                {"HTTP/1.1 302 Found", "Content-Encoding: gzip", "Location: /x", "",
                 "HTTP/1.1 200 OK", kLength},
                whole(),
                Verdict::Accept,
                0,
                kSize}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ResponseHead, CompleteOnlyAtTheBlankLine) {
    ResponseHead head;
    head.addLine("HTTP/1.1 200 OK\r\n");
    head.addLine("Content-Length: 10\r\n");
    EXPECT_FALSE(head.complete);
    head.addLine("\r\n");
    EXPECT_TRUE(head.complete);
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.contentLength, 10);
    head.addLine("HTTP/1.1 404 Not Found\r\n"); // the next hop's head
    EXPECT_FALSE(head.complete);
    EXPECT_EQ(head.contentLength, -1);
}

} // namespace
} // namespace quarn::engine
