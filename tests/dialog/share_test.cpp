// The three share registrations: what each hands the engine, and the one
// message box that tells the outcome.
#include "tests/dialog/harness.h"
#include "tests/support/console_texts.h"

#include <json/reader.h>

#include <string>

namespace quarn::test {
namespace {

TEST_F(DialogTest, ShareFileSendsJsonTextWithKoreanNameIntact) {
    Click(IDC_SET_SHARE_FILE);
    const auto calls = fakeengine::CallsTo("setShareFile");
    ASSERT_EQ(calls.size(), 1u);
    const std::string& text = calls[0].texts.at(0);
    // Spaces exactly as laid out fragment by fragment.
    EXPECT_EQ(text, shareText(sampleShare()));

    Json::Value root;
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    ASSERT_TRUE(reader->parse(text.data(), text.data() + text.size(), &root, &errors)) << errors;
    ASSERT_TRUE(root.isObject());
    EXPECT_EQ(root.size(), 11u);
    EXPECT_EQ(root["localfilename"].asString(), sample::kShare1LocalFileName);
    EXPECT_TRUE(root["use_mserver"].isBool());
    EXPECT_EQ(root["filesize"].asString(), sample::kShare1Size);

    std::size_t at = 0;
    for (const char* name :
         {"site", "server", "serverfilename", "index", "hash", "filesize", "localfilename",
          "use_mserver", "user_name", "user_pwd", "user_params"}) {
        const std::size_t found = text.find('"' + std::string(name) + '"', at);
        ASSERT_NE(found, std::string::npos) << name;
        EXPECT_TRUE(root.isMember(name)) << name;
        at = found + 1;
    }
}

TEST_F(DialogTest, ShareFile2And3PassSampleValuesInEntryPointOrder) {
    Click(IDC_SET_SHARE_FILE2);
    Click(IDC_SET_SHARE_FILE3);
    const auto calls = fakeengine::Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].name, "setShareFile2");
    EXPECT_EQ(calls[0].wide,
              (std::vector<std::u16string>{u16(sample::kShareSite), u16(sample::kShare2Hash),
                                           u16(sample::kShare2Path)}));
    // 8-bit: the bytes as the console holds them, path before hash.
    EXPECT_EQ(calls[1].name, "setShareFile3");
    EXPECT_EQ(calls[1].texts, (std::vector<std::string>{sample::kShareSite, sample::kShare3Path,
                                                        sample::kShare3Hash}));
    for (const auto& call : calls) EXPECT_EQ(call.size, sample::kShare23Size);
}

struct Outcome {
    const char* name;
    std::int32_t result;
    const char* text;
};

class ShareOutcome : public DialogTest, public ::testing::WithParamInterface<Outcome> {};

// Only the answer's low byte counts.
TEST_P(ShareOutcome, OneBoxPerPress) {
    fakeengine::SetShareResult(GetParam().result);
    for (int button : {IDC_SET_SHARE_FILE, IDC_SET_SHARE_FILE2, IDC_SET_SHARE_FILE3}) {
        boxes.clear();
        Click(button);
        ASSERT_EQ(boxes.size(), 1u) << button;
        EXPECT_EQ(boxes[0].caption, QCoreApplication::applicationName());
        EXPECT_EQ(boxes[0].text, QString::fromUtf8(GetParam().text));
        EXPECT_EQ(boxes[0].type, MB_OK);
    }
    EXPECT_EQ(fakeengine::Calls().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Results, ShareOutcome,
                         ::testing::Values(Outcome{"One", 1, "등록됨"},
                                           Outcome{"Zero", 0, "등록 안됨"},
                                           Outcome{"HighByteOnly", 0x100, "등록 안됨"},
                                           Outcome{"HighAndLowByte", 0x101, "등록됨"}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(DialogTest, RegistrationsDuringDownloadLeaveItAlone) {
    fakeengine::QueueStates({{QUARN_STATE_RECEIVING, 5, 6, 7, 3 * 1048576}});
    Click(IDC_START_DOWNLOAD);
    ASSERT_TRUE(pump(*dlg, [&] { return dlg->m_strState == CString::FromUtf8("전송중"); }));
    const auto shown = [&] {
        std::vector<QString> out;
        for (int id : {IDC_STATE, IDC_SPEED, IDC_REMAIN_TIME, IDC_RECEIVE_SIZE, IDC_FILE_SIZE})
            out.push_back(Text(id));
        for (int id : {IDC_START_DOWNLOAD, IDC_START_DOWNLOAD_JSON, IDC_STOP_DOWNLOAD,
                       IDC_SET_SHARE_FILE, IDC_SET_SHARE_FILE2, IDC_SET_SHARE_FILE3})
            out.push_back(Enabled(id) ? "on" : "off");
        return out;
    };
    const std::vector<QString> before = shown();
    for (int button : {IDC_SET_SHARE_FILE, IDC_SET_SHARE_FILE3, IDC_SET_SHARE_FILE2}) Click(button);
    EXPECT_EQ(boxes.size(), 3u);
    ASSERT_TRUE(pump(*dlg, [] { return fakeengine::CountCalls("getDownloadState") >= 3; }));
    EXPECT_EQ(shown(), before);
    EXPECT_EQ(dlg->RunningWorkers(), 1u);
    EXPECT_EQ(fakeengine::CountCalls("stopDownload"), 0u);
}

} // namespace
} // namespace quarn::test
