// The words of the engine's status: the failure causes as a reader sees
// them, and the JSON status text with its "cause" member.
#include "libquarn/status_text.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>

namespace quarn::engine {
namespace {

Json::Value parsed(const std::string& text) {
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    Json::Value root;
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &root, &errors))
        << errors << " in " << text;
    return root;
}

TEST(FailureText, EachCauseReadsAsAReaderExpects) {
    const struct {
        Failure kind;
        int32_t detail;
        const char* text;
    } cases[] = {
        {Failure::None, 0, "unknown"},
        {Failure::HttpStatus, 404, "HTTP 404 Not Found"},
        {Failure::HttpStatus, 403, "HTTP 403 Forbidden"},
        {Failure::HttpStatus, 401, "HTTP 401 Unauthorized"},
        {Failure::HttpStatus, 416, "HTTP 416 Range Not Satisfiable"},
        {Failure::HttpStatus, 503, "HTTP 503 Service Unavailable"},
        {Failure::HttpStatus, 511, "HTTP 511 Network Authentication Required"},
        // A status the table does not know goes out bare.
        {Failure::HttpStatus, 599, "HTTP 599"},
        {Failure::HttpStatus, 200, "HTTP 200"},
        {Failure::ConnectionRefused, 0, "connection refused"},
        {Failure::HostNotFound, 0, "host not found"},
        {Failure::ConnectFailed, 0, "connection failed"},
        {Failure::Tls, 0, "TLS failed"},
        {Failure::Stalled, 0, "stalled"},
        {Failure::LengthDiffers, 0, "length differs"},
        {Failure::BadResponse, 0, "not the bytes asked for"},
        {Failure::Redirect, 0, "redirect refused"},
        {Failure::DocumentMismatch, 0, "metalink document does not match"},
        {Failure::BrokenDocument, 0, "metalink document unreadable"},
        {Failure::PieceMismatch, 0, "piece differs from the metalink document"},
        {Failure::DigestMismatch, 0, "digest differs"},
        {Failure::FileChanged, 0, "file changed on the server"},
        {Failure::NoSource, 0, "no source left"},
        {Failure::DiskFull, 0, "disk full"},
        {Failure::IoError, 0, "I/O error"},
        // Only an HTTP status carries its number.
        {Failure::DiskFull, 28, "disk full"},
        // A value from a newer engine than this table.
        {static_cast<Failure>(1000), 0, "unknown"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(failureText({c.kind, c.detail}), c.text) << static_cast<int>(c.kind);
}

TEST(FailureText, ReasonPhrasesOfCommonStatusesOnly) {
    EXPECT_EQ(reasonPhrase(400), "Bad Request");
    EXPECT_EQ(reasonPhrase(429), "Too Many Requests");
    EXPECT_EQ(reasonPhrase(504), "Gateway Timeout");
    for (int32_t status : {0, 200, 206, 302, 399, 418, 499, 599, -404})
        EXPECT_EQ(reasonPhrase(status), "") << status;
}

StatusSnapshot failed(int32_t state, Failure kind, int32_t detail = 0) {
    StatusSnapshot s;
    s.state = state;
    s.speedKiB = 0;
    s.remainSec = 0;
    s.received = 123;
    s.fileBytes = 456;
    s.fileSize = 789;
    s.cause = {kind, detail};
    return s;
}

TEST(StatusJson, NamesTheCauseInTheFailedStatesOnly) {
    const struct {
        int32_t state;
        bool hasCause;
    } states[] = {
        {QUARN_STATE_PREPARING, false},   {QUARN_STATE_CONNECTING, false},
        {QUARN_STATE_RECEIVING, false},   {QUARN_STATE_COMPLETE, false},
        {QUARN_STATE_STOPPED, false},     {QUARN_STATE_WRITE_ERROR, true},
        {QUARN_STATE_SERVER_ERROR, true},
    };
    for (const auto& row : states) {
        // A cause left over on the board never shows outside a failure.
        const std::string text = statusJson(failed(row.state, Failure::HttpStatus, 404));
        const Json::Value root = parsed(text);
        EXPECT_EQ(root["state"].asInt(), row.state);
        EXPECT_EQ(root.isMember("cause"), row.hasCause) << text;
        if (row.hasCause) {
            EXPECT_EQ(root["cause"].asString(), "HTTP 404 Not Found");
            // Last: a reader that stops early has read every number.
            EXPECT_EQ(text.substr(text.rfind(',')), ",\"cause\":\"HTTP 404 Not Found\"}");
        }
    }
}

TEST(StatusJson, AFailureOfUnknownCauseHasNoCauseMember) {
    for (int32_t state : {QUARN_STATE_WRITE_ERROR, QUARN_STATE_SERVER_ERROR})
        EXPECT_FALSE(parsed(statusJson(failed(state, Failure::None))).isMember("cause"));
}

TEST(StatusJson, TheNumbersAreThePollsOwn) {
    StatusSnapshot s = failed(QUARN_STATE_RECEIVING, Failure::None);
    s.speedKiB = 2048;
    s.remainSec = -1;
    EXPECT_EQ(statusJson(s), "{\"state\":2,\"speed\":2048,\"remain_time\":-1,\"receive_size\":123,"
                             "\"current_file_size\":456,\"filesize\":789}");
}

// The widest numbers with each cause still fit the engine's reply buffer,
// whole: a cut text would not parse.
TEST(StatusJson, EveryCauseFitsTheReplyBuffer) {
    constexpr auto kMin32 = std::numeric_limits<int32_t>::min();
    constexpr auto kMin64 = std::numeric_limits<int64_t>::min();
    for (int kind = 1; kind <= static_cast<int>(Failure::IoError); ++kind) {
        for (int32_t detail : {kMin32, 511, 407}) {
            StatusSnapshot s;
            s.state = QUARN_STATE_SERVER_ERROR;
            s.speedKiB = s.remainSec = kMin32;
            s.received = s.fileBytes = s.fileSize = kMin64;
            s.cause = {static_cast<Failure>(kind), detail};
            char buffer[kStatusJsonUnits];
            const std::size_t n = formatStatusJson(s, buffer, sizeof buffer);
            ASSERT_LT(n, kStatusJsonUnits);
            const Json::Value root = parsed(std::string(buffer, n));
            EXPECT_EQ(root["cause"].asString(), failureText(s.cause));
            EXPECT_EQ(root["filesize"].asInt64(), kMin64);
        }
    }
}

TEST(StatusJson, ASmallBufferGetsACutTextNeverAnOverrun) {
    const StatusSnapshot s = failed(QUARN_STATE_SERVER_ERROR, Failure::Stalled);
    const std::string whole = statusJson(s);
    for (std::size_t capacity : {std::size_t{1}, std::size_t{10}, whole.size()}) {
        std::string buffer(capacity + 8, '#');
        const std::size_t n = formatStatusJson(s, buffer.data(), capacity);
        EXPECT_EQ(n, capacity - 1);
        EXPECT_EQ(buffer.substr(0, n), whole.substr(0, n));
        EXPECT_EQ(buffer[n], '\0');
        EXPECT_EQ(buffer.substr(capacity), std::string(8, '#'));
    }
    EXPECT_EQ(formatStatusJson(s, nullptr, 0), 0u);
}

} // namespace
} // namespace quarn::engine
