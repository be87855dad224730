// The engine's pure parts: path mapping, endpoints, URLs, and a fuzz run of
// the JSON parsers.
#include "libquarn/paths.h"
#include "libquarn/requests.h"
#include "libquarn/text.h"
#include "tests/engine/engine_test_env.h"
#include "tests/support/console_texts.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

namespace quarn::engine {
namespace {

// Entries the engine's path mapping reads, set for one scope.
using ScopedEnv = test::EngineEnv;

TEST(PathMapping, MapsDrivePathsAndRefusesEscapes) {
    const ScopedEnv root("QUARN_DRIVE_ROOT", "/r/");
    const struct {
        const char* in;
        const char* out; // nullptr: refused
    } cases[] = {
        {"d:\\download\\aaaaa.avi", "/r/d/download/aaaaa.avi"},
        {"D:/x/y", "/r/d/x/y"},
        {"c:\\a\\\\b\\c", "/r/c/a/b/c"},
        {"c:\\a\\.\\c", nullptr},
        {"d:\\dir.\\x", nullptr},
        {"d:\\dir\\x ", nullptr},
        {"/tmp/x.", nullptr},
        {"/tmp/x", "/tmp/x"},
        {"//tmp//x", "/tmp/x"},
        {"/tmp/a\\b", "/tmp/a\\b"},
        {"d:\\..\\x", nullptr},
        {"d:\\a\\..\\b", nullptr},
        {"/a/../b", nullptr},
        {"relative\\x", nullptr},
        {"d:x", nullptr},
        {"\\\\server\\share\\x", nullptr},
        {"", nullptr},
        {"d:\\", nullptr},
        {"d:\\dir\\", nullptr},
        {"/tmp/", nullptr},
        {"/", nullptr},
    };
    for (const auto& c : cases) {
        const std::optional<std::string> mapped = mapLocalPath(c.in);
        if (c.out == nullptr)
            EXPECT_FALSE(mapped.has_value()) << c.in << " -> " << mapped.value_or("");
        else
            EXPECT_EQ(mapped.value_or("<refused>"), c.out) << c.in;
    }
}

TEST(PathMapping, DefaultRootFollowsXdgThenHome) {
    const ScopedEnv root("QUARN_DRIVE_ROOT", nullptr);
    {
        const ScopedEnv xdg("XDG_DATA_HOME", "/xdg");
        EXPECT_EQ(mapLocalPath("d:\\a").value_or(""), "/xdg/quarn/drives/d/a");
    }
    const ScopedEnv xdg("XDG_DATA_HOME", nullptr);
    const ScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(mapLocalPath("d:\\a").value_or(""), "/home/u/.local/share/quarn/drives/d/a");
}

TEST(Endpoints, AcceptsHostPortForms) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"127.0.0.1:28080", "http://127.0.0.1:28080"},
        {"example.org", "http://example.org"},
        {"HTTPS://host:443", "https://host:443"},
        {"http://host:8080", "http://host:8080"},
        {"[::1]:8080", "http://[::1]:8080"},
        {"", nullptr},
        {"host:0", nullptr},
        {"host:70000", nullptr},
        {"host:-1", nullptr},
        {"host:80/path", nullptr},
        {"user@host", nullptr},
        {"ftp://host", nullptr},
        {"ho st", nullptr},
        {"https://", nullptr},
    };
    for (const auto& c : cases) {
        const std::optional<std::string> got = normaliseEndpoint(c.in);
        if (c.out == nullptr)
            EXPECT_FALSE(got.has_value()) << c.in;
        else
            EXPECT_EQ(got.value_or("<refused>"), c.out) << c.in;
    }
}

TEST(Requests, BuildsTheUrlFromSiteFileAndParameters) {
    const ScopedEnv root("QUARN_DRIVE_ROOT", "/r");
    DownloadRequest r;
    r.site = "test_site";
    r.server = "127.0.0.1:28080";
    r.serverFileName = "/volume1/왕좌 1.mp4";
    r.localFileName = "d:\\download\\judge.mp4";
    r.hash = "e3f20ec8060f3f1f5b98718b2df6f37b";
    r.fileSize = 2208143958;
    r.userParams = "?a=1&b=%41&c=x y%";
    const std::optional<PreparedDownload> p = prepareDownload(r);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->url, "http://127.0.0.1:28080/test_site/volume1/%EC%99%95%EC%A2%8C%201.mp4"
                      "?a=1&b=%41&c=x%20y%25");
    EXPECT_EQ(p->local.full(), "/r/d/download/judge.mp4");
    EXPECT_EQ(p->local.file, "judge.mp4");
    EXPECT_TRUE(p->local.confined);
    EXPECT_EQ(p->fileSize, 2208143958);
}

TEST(Requests, ParsesTheConsolesJsonRequest) {
    const std::optional<DownloadRequest> r =
        parseDownloadRequestJson(test::u16(test::requestText(test::sampleJsonRequest())));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->fileSize, sample::kFileSize);
    EXPECT_EQ(r->localFileName, sample::kJsonLocalFileName);
    EXPECT_EQ(r->index, sample::kJsonIndex);
    EXPECT_EQ(r->userPwd, sample::kUserPwd);
}

TEST(Text, ConvertsStrictly) {
    EXPECT_EQ(utf16ToUtf8(std::u16string_view(u"a\u00e9\u4e2d\U0001F600")).value_or("?"),
              "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80");
    const char16_t lone[] = {u'a', 0xDC00, 0};
    EXPECT_FALSE(utf16ToUtf8(lone).has_value());
    EXPECT_EQ(cp949ToUtf8("\xb0\xa1").value_or("?"), "\xea\xb0\x80"); // 가
    EXPECT_FALSE(cp949ToUtf8("\xff\xff").has_value());
    EXPECT_FALSE(parseDecimal("").has_value());
    EXPECT_FALSE(parseDecimal("99999999999999999999").has_value());
    EXPECT_EQ(parseDecimal("2208143958").value_or(0), 2208143958);
}

// Mutates valid documents byte by byte: the parsers must answer, never crash,
// and whatever they accept must survive the parameter checks without harm.
std::u16string mutate(std::u16string text, std::mt19937& random) {
    static const char16_t kPieces[] = {u'{', u'}', u'[', u']',  u'"',   u'\\',  u':',   u',', u'0',
                                       u'-', u'e', u'.', u'\0', 0xD800, 0xDC00, 0xFFFF, u' ', u'u'};
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
        const std::size_t at = random() % text.size();
        switch (random() % 5) {
        case 0: text[at] = kPieces[random() % std::size(kPieces)]; break;
        case 1: text.insert(at, 1, kPieces[random() % std::size(kPieces)]); break;
        case 2: text.erase(at, 1 + random() % 8); break;
        case 3: text.insert(at, text.substr(at, random() % 16)); break;
        default: text.resize(at); break;
        }
    }
    return text;
}

TEST(Fuzz, JsonParsersSurviveMutatedInput) {
    const ScopedEnv root("QUARN_DRIVE_ROOT", "/nonexistent-quarn-root");
    // The console's two requests.
    const std::u16string seeds[] = {test::u16(test::requestText(test::sampleJsonRequest())),
                                    test::u16(test::shareText(test::sampleShare()))};
    std::mt19937 random(20240611);
    int accepted = 0;
    for (int i = 0; i < 6000; ++i) {
        const std::u16string input = mutate(seeds[i % 2], random);
        if (const auto request = parseDownloadRequestJson(input)) {
            if (const auto prepared = prepareDownload(*request)) {
                EXPECT_EQ(prepared->url.find_first_of(" \r\n"), std::string::npos);
                EXPECT_GT(prepared->fileSize, 0);
            }
            ++accepted;
        }
        if (const auto share = parseShareJson(input)) {
            EXPECT_GE(share->fileSize, 0);
            ++accepted;
        }
    }
    EXPECT_GT(accepted, 0) << "mutations never produced a valid document";
}

} // namespace
} // namespace quarn::engine
