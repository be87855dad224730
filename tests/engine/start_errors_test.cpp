// Each start error produced by the condition it names, through both starts.
#include "tests/engine/engine_test_env.h"

#include <functional>

namespace quarn::test {
namespace {

using namespace std::chrono_literals;

class StartErrors : public EngineTest, public ::testing::WithParamInterface<bool> {
protected:
    int32_t start(const Download& d) const { return GetParam() ? d.startJson() : d.start(); }
    Download sample() const { return request("slow_site", "sample.bin", 2 * kMiB); }
};

struct BadParameter {
    const char* name;
    std::function<void(Download&)> spoil;
};

TEST_P(StartErrors, BadParametersAreMinus2) {
    const BadParameter cases[] = {
        {"empty site", [](Download& d) { d.site.clear(); }},
        {"empty server", [](Download& d) { d.server.clear(); }},
        {"empty server file", [](Download& d) { d.serverFileName.clear(); }},
        {"empty local file", [](Download& d) { d.localFileName.clear(); }},
        {"short hash", [](Download& d) { d.hash.pop_back(); }},
        {"long hash", [](Download& d) { d.hash += "0"; }},
        {"non-hex hash", [](Download& d) { d.hash[5] = 'g'; }},
        {"zero size", [](Download& d) { d.fileSize = 0; }},
        {"negative size", [](Download& d) { d.fileSize = -5; }},
        {"port out of range", [](Download& d) { d.server = "127.0.0.1:65536"; }},
        {"empty port", [](Download& d) { d.server = "127.0.0.1:"; }},
        {"path in endpoint", [](Download& d) { d.server += "/x"; }},
        {"user in endpoint", [](Download& d) { d.server = "me@" + d.server; }},
        {"other scheme", [](Download& d) { d.server = "ftp://" + d.server; }},
        {"space in host", [](Download& d) { d.server = "a b:80"; }},
        {"dot-dot in server file", [](Download& d) { d.serverFileName = "../etc/passwd"; }},
        {"dot-dot in the middle", [](Download& d) { d.serverFileName = "a/../../b"; }},
        {"drive path leaving root", [](Download& d) { d.localFileName = "d:\\..\\escape.bin"; }},
        {"posix path with dot-dot", [](Download& d) { d.localFileName = "/tmp/../etc/x"; }},
        {"relative path", [](Download& d) { d.localFileName = "download\\x.bin"; }},
        {"drive without file", [](Download& d) { d.localFileName = "d:\\download\\"; }},
        {"header injection", [](Download& d) { d.index = "1\r\nX-Evil: 1"; }},
        // Names Windows would quietly change into others.
        {"dot component", [](Download& d) { d.localFileName = "d:\\download\\.\\x.bin"; }},
        {"directory ending in a dot", [](Download& d) { d.localFileName = "d:\\dl.\\x.bin"; }},
        {"file ending in a dot", [](Download& d) { d.localFileName = "d:\\download\\x."; }},
        {"file ending in a space", [](Download& d) { d.localFileName = "d:\\download\\x "; }},
    };
    for (const BadParameter& c : cases) {
        Download d = sample();
        c.spoil(d);
        EXPECT_EQ(start(d), QUARN_ERR_PARAMETER) << c.name;
    }
    EXPECT_TRUE(fs::is_empty(driveRoot())) << "a refused start left something behind";
}

TEST_P(StartErrors, ExistingFileIsMinus1) {
    const Download d = sample();
    writeFile(mapped(d.localFileName), "old");
    EXPECT_EQ(start(d), QUARN_ERR_FILE_EXISTS);
    EXPECT_EQ(readFile(mapped(d.localFileName)), "old");
}

TEST_P(StartErrors, ParameterErrorComesBeforeExistingFile) {
    Download d = sample();
    writeFile(mapped(d.localFileName), "old");
    d.hash = "nothex";
    EXPECT_EQ(start(d), QUARN_ERR_PARAMETER);
}

TEST_P(StartErrors, FileWhereDirectoryMustGoIsMinus5) {
    Download d = sample();
    writeFile(driveRoot() / "d" / "blocker", "a file, not a directory");
    d.localFileName = "d:\\blocker\\sub\\sample.bin";
    EXPECT_EQ(start(d), QUARN_ERR_DIRECTORY);
}

TEST_P(StartErrors, DirectoryWherePartMustGoIsMinus3) {
    const Download d = sample();
    fs::create_directories(mapped(d.localFileName).string() + ".part");
    EXPECT_EQ(start(d), QUARN_ERR_FILE_CREATE);
}

TEST_P(StartErrors, SizeBeyondFreeSpaceIsMinus4) {
    Download d = sample();
    d.fileSize = int64_t{1} << 60;
    EXPECT_EQ(start(d), QUARN_ERR_DISK_FULL);
    EXPECT_FALSE(fs::exists(mapped(d.localFileName).string() + ".part"));
}

TEST_P(StartErrors, SecondStartWhileActiveIsMinus6) {
    serve("slow_site", "sample.bin", 2 * kMiB);
    ASSERT_EQ(sample().start(), 0);
    Download other = sample();
    other.localFileName = "d:\\download\\other.bin";
    EXPECT_EQ(start(other), QUARN_ERR_OPERATION);
    EXPECT_FALSE(fs::exists(mapped(other.localFileName).string() + ".part"));
    const int32_t state = poll().state;
    EXPECT_TRUE(state >= QUARN_STATE_PREPARING && state <= QUARN_STATE_RECEIVING) << state;
    stopDownload();
    EXPECT_EQ(poll().state, QUARN_STATE_STOPPED);
}

INSTANTIATE_TEST_SUITE_P(Engine, StartErrors, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "Json" : "Parameters"; });

class StartArguments : public EngineTest {};

TEST_F(StartArguments, NullArgumentsAreMinus2) {
    const std::u16string s = u"x", hash = u16(kHash), path = u"d:\\n\\x";
    const char16_t* ok[10] = {s.c_str(),    s.c_str(), s.c_str(), s.c_str(), path.c_str(),
                              hash.c_str(), nullptr,   s.c_str(), s.c_str(), s.c_str()};
    for (int i = 0; i < 10; ++i) {
        if (i == 6) continue; // the size
        const char16_t* a[10];
        std::copy(std::begin(ok), std::end(ok), a);
        a[i] = nullptr;
        EXPECT_EQ(startDownload(a[0], a[1], a[2], a[3], a[4], a[5], 10, a[7], a[8], a[9]),
                  QUARN_ERR_PARAMETER)
            << "argument " << i;
    }
}

TEST_F(StartArguments, MalformedJsonRequestsAreMinus2) {
    Download d = request("slow_site", "sample.bin", 100);
    const std::string good = d.json();
    const std::string cases[] = {
        "",
        "{",
        "[]",
        "null",
        "\"text\"",
        good + "trailing",
        "{\"site\":1}",
        good.substr(0, good.size() / 2),
        // one member of the wrong type, missing or malformed at a time
        [&] {
            Download x = d;
            x.hash = "zz";
            return x.json();
        }(),
        std::string("{\"site\":\"s\",\"server\":\"127.0.0.1:1\",\"serverfilename\":\"f\","
                    "\"localfilename\":\"d:\\\\x\",\"hash\":\"") +
            kHash + "\",\"filesize\":1.5}",
        std::string("{\"site\":\"s\",\"server\":\"127.0.0.1:1\",\"serverfilename\":\"f\","
                    "\"localfilename\":\"d:\\\\x\",\"hash\":\"") +
            kHash + "\",\"filesize\":\"12a\"}",
        std::string("{\"site\":\"s\",\"server\":\"127.0.0.1:1\",\"serverfilename\":\"f\","
                    "\"localfilename\":\"d:\\\\x\",\"hash\":\"") +
            kHash + "\"}",
        std::string("{\"site\":\"s\",\"server\":7,\"serverfilename\":\"f\","
                    "\"localfilename\":\"d:\\\\x\",\"hash\":\"") +
            kHash + "\",\"filesize\":\"5\"}",
    };
    for (const std::string& text : cases) {
        const char16_t* reply = startDownloadJson(u16(text).c_str());
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(std::u16string(reply), errReply(QUARN_ERR_PARAMETER)) << text;
    }
    EXPECT_EQ(std::u16string(startDownloadJson(nullptr)), errReply(QUARN_ERR_PARAMETER));
    const char16_t loneSurrogate[] = {u'{', 0xD800, u'}', 0};
    EXPECT_EQ(std::u16string(startDownloadJson(loneSurrogate)), errReply(QUARN_ERR_PARAMETER));
}

TEST_F(StartArguments, HostileJsonIsMinus2NotAFailureToStart) {
    const std::string good = request("slow_site", "sample.bin", 100).json();
    const auto withMember = [&](const std::string& member) {
        return "{" + member + "," + good.substr(good.find('{') + 1);
    };
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"nested beyond the depth limit",
         withMember("\"x\":" + std::string(5000, '[') + std::string(5000, ']'))},
        {"escaped lone high surrogate", withMember("\"x\":\"\\ud800\"")},
        {"escaped lone low surrogate", withMember("\"x\":\"\\udc00\"")},
        {"high surrogate before a letter", withMember("\"x\":\"\\ud800\\u0041\"")},
        {"lone surrogate in the site",
         [&] {
             std::string t = good;
             t.replace(t.find("slow_site"), 9, "slow\\udfff");
             return t;
         }()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::u16string(startDownloadJson(u16(c.text).c_str())),
                  errReply(QUARN_ERR_PARAMETER))
            << c.name;
    // A pair written as escapes is a character like any other.
    EXPECT_EQ(
        std::u16string(startDownloadJson(u16(withMember("\"x\":\"\\ud83d\\ude00\"")).c_str())),
        errReply(0));
}

TEST_F(StartArguments, FileSizeAsJsonNumberIsAccepted) {
    const std::string bytes = serve("slow_site", "n.bin", 1000);
    Download d = request("slow_site", "n.bin", 1000);
    std::string text = d.json();
    const std::string quoted = "\"filesize\" : \"1000\"";
    text.replace(text.find(quoted), quoted.size(), "\"filesize\" : 1000");
    EXPECT_EQ(std::u16string(startDownloadJson(u16(text).c_str())), errReply(0));
    EXPECT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
}

} // namespace
} // namespace quarn::test
