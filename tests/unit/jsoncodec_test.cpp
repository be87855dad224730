// The JSON texts: the request as built, and the start reply and status as
// read back. Engine replies are untrusted input: nothing in them may crash
// the reader or stop it reading what it can.
#include "dialog/jsoncodec.h"
#include "dialog/quarndemodlg.h"
#include "dialog/samplerequest.h"
#include "tests/fakeengine/fakeengine.h"
#include "tests/support/console_texts.h"
#include "tests/support/text.h"

#include <quarn/quarn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

std::u16string Deep(char16_t open, int depth) {
    return std::u16string(depth, open);
}

// Engine texts carrying a code as JSON writes it.
std::string N(std::int32_t code) {
    return std::to_string(code);
}
std::u16string J(const std::string& utf8) {
    return quarn::test::u16(utf8);
}

TEST(JsonRequest, MatchesDocumentByteForByte) {
    const std::string expected = quarn::test::requestText(quarn::test::sampleJsonRequest());
    EXPECT_EQ(jsoncodec::BuildRequestText(sample::kServer), expected);
    EXPECT_EQ(expected.size(), 348u);
    EXPECT_EQ(jsoncodec::BuildRequestText("192.168.100.10:8080").size(), 352u);

    CQuarnDemoDlg dlg;
    std::vector<char16_t> buffer(jsoncodec::kRequestBufferUnits, u'#');
    ASSERT_TRUE(dlg.BuildJsonRequest(buffer.data()));
    EXPECT_EQ(std::u16string(buffer.data()), ToWideString(expected));
    EXPECT_EQ(buffer[expected.size() + 1], u'#');
}

TEST(JsonRequest, CopyRefusesTextThatWouldNotFit) {
    const struct {
        std::size_t units, capacity;
        bool fits;
    } rows[] = {
        {2047, 2048, true}, {2048, 2048, false}, {5000, 2048, false}, {0, 1, true}, {0, 0, false}};
    for (const auto& r : rows) {
        const std::u16string text(r.units, u'x');
        // Room beyond the capacity shows whether anything was written there.
        std::vector<char16_t> buffer(r.capacity + 8, u'#');
        EXPECT_EQ(jsoncodec::CopyToBuffer(text, buffer.data(), r.capacity), r.fits) << r.units;
        const auto untouchedFrom =
            r.fits ? buffer.begin() + static_cast<std::ptrdiff_t>(r.capacity) : buffer.begin();
        EXPECT_TRUE(std::all_of(untouchedFrom, buffer.end(), [](char16_t c) { return c == u'#'; }));
        if (r.fits) {
            EXPECT_EQ(std::u16string(buffer.data()), text);
        }
    }
}

TEST(JsonStartReply, ReadsErr) {
    constexpr std::int32_t kFull = QUARN_ERR_DISK_FULL;
    const std::string full = N(kFull);
    const std::pair<std::optional<std::u16string>, std::int32_t> rows[] = {
        {J("{\"err\":" + full + "}"), kFull},
        {u"{\"err\":0}", 0},
        {u"{\"err\":7}", 7},
        {u"{}", 0},
        {u"", 0},
        {u"not json", 0},
        {std::nullopt, 0},
        {J("{\"err\":\"" + full + "\"}"), 0},
        {J("{\"err\":" + full + ".9}"), kFull},
        {u"{\"err\":-4294967296}", 0},
        {J("[" + full + "]"), 0},
        {J(full), 0},
        {J("{\"err\":" + full + ",\"x\":"), kFull},
        {J("{\"err\":" + full + ",\"x\":") + Deep(u'[', 5000), kFull},
        {J("{\"x\":1") + u"\u0100" + J(",\"err\":" + full + "}"), 0},
    };
    CQuarnDemoDlg dlg;
    for (const auto& [text, err] : rows)
        EXPECT_EQ(dlg.ParseStartReply(text ? text->c_str() : nullptr), err)
            << (text ? quarn::test::utf8(text->substr(0, 40)) : "NULL");
}

struct Status {
    std::int32_t state;
    double speed;
    std::int32_t remain;
    std::int64_t current;
    std::int64_t received;
    std::int64_t filesize;
};

struct StatusRow {
    const char* name;
    std::optional<std::u16string> text;
    Status expected;
};

class StatusPoll : public ::testing::TestWithParam<StatusRow> {
protected:
    void SetUp() override { fakeengine::Reset(); }
    void TearDown() override { fakeengine::Reset(); }
};

TEST_P(StatusPoll, ReadsEveryMemberItCan) {
    CQuarnDemoDlg dlg;
    fakeengine::QueueStatusJson({GetParam().text});
    // Stale values in the record must all be overwritten.
    TransferInfo info{};
    info.speed = 99.0;
    info.remain_time = 99;
    info.current_file_size = info.receive_size = info.filesize = 99;
    const std::int32_t state = dlg.PollJsonStatus(&info);
    const Status& e = GetParam().expected;
    EXPECT_EQ(state, e.state);
    EXPECT_EQ(info.speed, e.speed);
    EXPECT_EQ(info.remain_time, e.remain);
    EXPECT_EQ(info.current_file_size, e.current);
    EXPECT_EQ(info.receive_size, e.received);
    EXPECT_EQ(info.filesize, e.filesize);
    EXPECT_EQ(fakeengine::CountCalls("getDownloadStateJson"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, StatusPoll,
    ::testing::Values(
        StatusRow{"Full",
                  J("{\"state\":" + N(QUARN_STATE_RECEIVING) +
                    ",\"speed\":1536.75,\"remain_time\":30,\"current_file_size\":1048576,"
                    "\"receive_size\":524288,\"filesize\":2208143958}"),
                  {QUARN_STATE_RECEIVING, 1536.0, 30, 1048576, 524288, 2208143958}},
        StatusRow{"MissingState",
                  u"{\"speed\":12,\"remain_time\":-1,\"current_file_size\":5,\"receive_size\":6,"
                  u"\"filesize\":7}",
                  {0, 12.0, -1, 5, 6, 7}},
        StatusRow{"SpeedAsString",
                  J("{\"state\":" + N(QUARN_STATE_RECEIVING) + ",\"speed\":\"12\",\"filesize\":7}"),
                  {QUARN_STATE_RECEIVING, 0.0, 0, 0, 0, 7}},
        StatusRow{
            "SpeedAsArray",
            J("{\"state\":" + N(QUARN_STATE_RECEIVING) + ",\"speed\":[12],\"remain_time\":3}"),
            {QUARN_STATE_RECEIVING, 0.0, 3, 0, 0, 0}},
        StatusRow{"StateAsObject",
                  u"{\"state\":{\"a\":1},\"speed\":3,\"filesize\":\"9\"}",
                  {0, 3.0, 0, 0, 0, 0}},
        StatusRow{"Beyond32Bits",
                  u"{\"state\":3000000000,\"speed\":4294967296,\"remain_time\":-2147483649,"
                  u"\"filesize\":4294967296}",
                  {0, 0.0, 0, 0, 0, 4294967296}},
        StatusRow{"BeyondInt64",
                  J("{\"state\":" + N(QUARN_STATE_CONNECTING) +
                    ",\"filesize\":9223372036854775808,\"receive_size\":1e300,"
                    "\"current_file_size\":-9223372036854775808}"),
                  {QUARN_STATE_CONNECTING, 0.0, 0, INT64_MIN, 0, 0}},
        StatusRow{"FractionsCutTowardZero",
                  J("{\"state\":" + N(QUARN_STATE_RECEIVING) +
                    ".9,\"remain_time\":-7.9,\"filesize\":2.5}"),
                  {QUARN_STATE_RECEIVING, 0.0, -7, 0, 0, 2}},
        // true reads as 1, whatever the member.
        StatusRow{"Booleans",
                  u"{\"state\":true,\"filesize\":true,\"speed\":false}",
                  {1, 0.0, 0, 0, 0, 1}},
        StatusRow{"RootArray", u"[2,1536,30]", {0, 0.0, 0, 0, 0, 0}},
        StatusRow{"RootScalar", u"2", {0, 0.0, 0, 0, 0, 0}},
        StatusRow{"RootString", u"\"state\"", {0, 0.0, 0, 0, 0, 0}},
        StatusRow{"NotJson", u"garbage", {0, 0.0, 0, 0, 0, 0}},
        StatusRow{"Empty", u"", {0, 0.0, 0, 0, 0, 0}},
        StatusRow{"Null", std::nullopt, {0, 0.0, 0, 0, 0, 0}},
        StatusRow{"BrokenHalfway",
                  J("{\"state\":" + N(QUARN_STATE_RECEIVING) + ",\"speed\":7,\"remain_time\":"),
                  {QUARN_STATE_RECEIVING, 7.0, 0, 0, 0, 0}},
        StatusRow{"CutAtWideChar",
                  J("{\"state\":" + N(QUARN_STATE_RECEIVING) + ",\"speed\":7") + u"\u0100" +
                      J(",\"remain_time\":9,\"filesize\":5}"),
                  {QUARN_STATE_RECEIVING, 7.0, 0, 0, 0, 0}},
        StatusRow{"DeepNesting",
                  J("{\"state\":" + N(QUARN_STATE_STOPPED) + ",\"x\":") + Deep(u'[', 5000),
                  {QUARN_STATE_STOPPED, 0.0, 0, 0, 0, 0}}),
    [](const auto& row) { return std::string(row.param.name); });

// Random texts and mutations of real replies, with a fixed seed so a failure
// replays. Only survival is asserted, plus that reading is repeatable.
TEST(JsonFuzz, RepliesAndStatusesNeverCrashTheReader) {
    CQuarnDemoDlg dlg;
    const std::u16string seeds[] = {
        J("{\"err\":" + N(QUARN_ERR_DISK_FULL) + "}"),
        J("{\"state\":" + N(QUARN_STATE_RECEIVING) +
          ",\"speed\":1536,\"remain_time\":30,\"receive_size\":524288,"
          "\"current_file_size\":1048576,\"filesize\":2208143958}"),
        u"[{\"a\":[1,2,{\"b\":null}]},\"s\\u0041\",true,-0.5e-3]",
    };
    const char16_t alphabet[] = u"{}[]\":,-+.0123456789eEtrufalsn \\/u\n\t\0xyz";
    std::mt19937 rng(20240611);
    const auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    const auto randomUnit = [&]() -> char16_t {
        switch (pick(4)) {
        case 0: return static_cast<char16_t>(pick(0x10000));
        case 1: return static_cast<char16_t>(pick(0x200));
        default: return alphabet[pick(std::size(alphabet) - 1)];
        }
    };

    for (int i = 0; i < 4000; ++i) {
        std::u16string text;
        if (i % 4 == 0) {
            const std::size_t length = pick(64);
            for (std::size_t k = 0; k < length; ++k) text += randomUnit();
        } else {
            text = seeds[pick(std::size(seeds))];
            for (std::size_t edits = 1 + pick(6); edits > 0; --edits) {
                const std::size_t at = pick(text.size() + 1);
                switch (pick(4)) {
                case 0: text.insert(at, 1, randomUnit()); break;
                case 1:
                    if (at < text.size()) text.erase(at, 1);
                    break;
                case 2:
                    if (at < text.size()) text[at] = randomUnit();
                    break;
                default: text.insert(at, pick(3000), pick(2) ? u'[' : u'{'); break;
                }
            }
        }
        SCOPED_TRACE(i);
        const std::int32_t err = dlg.ParseStartReply(text.c_str());
        EXPECT_EQ(dlg.ParseStartReply(text.c_str()), err);

        if (i % 500 == 0) fakeengine::Reset();
        fakeengine::QueueStatusJson({text});
        TransferInfo info{};
        (void)dlg.PollJsonStatus(&info);
    }
    fakeengine::Reset();
}

} // namespace
