// The three registrations through the exported entry points, and the
// registry's replacement rule through the engine's internals.
#include "libquarn/share_registry.h"
#include "tests/engine/engine_test_env.h"
#include "tests/support/console_texts.h"

namespace quarn::test {
namespace {

// The console's registration text with another hash, size (a JSON value as
// written) and path.
std::string shareJson(const std::string& hash, const std::string& size, const std::string& path) {
    ShareFields fields = sampleShare();
    fields.hash = hash;
    fields.fileSize = size;
    fields.localFileName = path;
    return shareText(fields);
}

class ShareTest : public EngineTest {
protected:
    void sparse(const std::string& windowsPath, int64_t size) {
        const fs::path path = mapped(windowsPath);
        fs::create_directories(path.parent_path());
        writeFile(path, "");
        fs::resize_file(path, static_cast<uintmax_t>(size));
    }
};

TEST_F(ShareTest, ConsoleSamplesRegisterWhenFilesMatch) {
    const std::int64_t share1Size = std::stoll(sample::kShare1Size);
    sparse(sample::kShare1LocalFileName, share1Size);
    sparse(sample::kShare2Path, sample::kShare23Size);
    sparse(sample::kShare3Path, sample::kShare23Size);
    EXPECT_NE(setShareFile(u16(shareText(sampleShare())).c_str()), 0);
    EXPECT_NE(setShareFile(u16(shareJson(sample::kShare1Hash, sample::kShare1Size,
                                         sample::kShare1LocalFileName))
                               .c_str()),
              0);
    EXPECT_NE(setShareFile2(u16(sample::kShareSite).c_str(), u16(sample::kShare2Hash).c_str(),
                            u16(sample::kShare2Path).c_str(), sample::kShare23Size),
              0);
    EXPECT_NE(setShareFile3(sample::kShareSite, sample::kShare3Path, sample::kShare3Hash,
                            sample::kShare23Size),
              0);
    sparse("c:\\공유\\파일.avi", 77);
    EXPECT_NE(setShareFile3(cp949(sample::kShareSite).c_str(), cp949("c:\\공유\\파일.avi").c_str(),
                            sample::kShare3Hash, 77),
              0);
}

TEST_F(ShareTest, MismatchesAndBadInputAreRefused) {
    sparse("c:\\download\\aaa.avi", 1000);
    fs::create_directories(mapped("c:\\download\\dir.avi"));
    const std::u16string hash = u"d4301f3edae670bde22305e444e4c2a1";
    struct Case {
        const char* name;
        const char16_t *site, *hash, *path;
        int64_t size;
    };
    const Case cases[] = {
        {"wrong size", u"s", hash.c_str(), u"c:\\download\\aaa.avi", 999},
        {"missing file", u"s", hash.c_str(), u"c:\\download\\none.avi", 1000},
        {"directory", u"s", hash.c_str(), u"c:\\download\\dir.avi", 4096},
        {"empty site", u"", hash.c_str(), u"c:\\download\\aaa.avi", 1000},
        {"bad hash", u"s", u"d4301f3edae670bde22305e444e4c2aZ", u"c:\\download\\aaa.avi", 1000},
        {"zero size", u"s", hash.c_str(), u"c:\\download\\aaa.avi", 0},
        {"escaping path", u"s", hash.c_str(), u"c:\\..\\download\\aaa.avi", 1000},
        {"null site", nullptr, hash.c_str(), u"c:\\download\\aaa.avi", 1000},
        {"null hash", u"s", nullptr, u"c:\\download\\aaa.avi", 1000},
        {"null path", u"s", hash.c_str(), nullptr, 1000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(setShareFile2(c.site, c.hash, c.path, c.size), 0) << c.name;

    EXPECT_EQ(
        setShareFile3(nullptr, "c:\\download\\aaa.avi", "d4301f3edae670bde22305e444e4c2a1", 1000),
        0);
    EXPECT_EQ(
        setShareFile3("s", "c:\\download\\\xff.avi", "d4301f3edae670bde22305e444e4c2a1", 1000), 0)
        << "invalid CP949";

    const std::string good =
        shareJson("d4301f3edae670bde22305e444e4c2a1", "\"1000\"", "c:\\download\\aaa.avi");
    const std::string jsonCases[] = {
        "",
        "{",
        "[1]",
        good.substr(1),
        shareJson("d4301f3edae670bde22305e444e4c2a1", "true", "c:\\download\\aaa.avi"),
        shareJson("d4301f3edae670bde22305e444e4c2a1", "\"-1000\"", "c:\\download\\aaa.avi"),
        shareJson("d4301f3edae670bde22305e444e4c2a", "\"1000\"", "c:\\download\\aaa.avi"),
        "{\"site\":\"s\",\"hash\":\"d4301f3edae670bde22305e444e4c2a1\",\"filesize\":\"1000\"}",
    };
    for (const std::string& text : jsonCases) EXPECT_EQ(setShareFile(u16(text).c_str()), 0) << text;
    EXPECT_EQ(setShareFile(nullptr), 0);
    EXPECT_NE(setShareFile(u16(good).c_str()), 0);
}

TEST_F(ShareTest, LinksBelowTheDriveRootAreNeverRegistered) {
    const fs::path outside = tmp_ / "outside";
    writeFile(outside / "secret.bin", std::string(1000, 's'));
    fs::create_directories(mapped("c:\\download\\x").parent_path());
    fs::create_symlink(outside / "secret.bin", mapped("c:\\download\\file.avi"));
    fs::create_directory_symlink(outside, mapped("c:\\linked"));
    const std::u16string hash = u"d4301f3edae670bde22305e444e4c2a1";
    EXPECT_EQ(setShareFile2(u"s", hash.c_str(), u"c:\\download\\file.avi", 1000), 0)
        << "a file link";
    EXPECT_EQ(setShareFile2(u"s", hash.c_str(), u"c:\\linked\\secret.bin", 1000), 0)
        << "a directory link";
}

TEST_F(ShareTest, SameSiteAndHashReplacesTheEntry) {
    sparse("c:\\a.avi", 10);
    sparse("c:\\b.avi", 20);
    engine::ShareRegistry registry;
    const std::string hash = "D4301F3EDAE670BDE22305E444E4C2A1";
    ASSERT_TRUE(registry.add({"site", hash, "c:\\a.avi", 10}));
    ASSERT_TRUE(registry.add({"site", "d4301f3edae670bde22305e444e4c2a1", "c:\\b.avi", 20}));
    ASSERT_TRUE(registry.add({"other", hash, "c:\\a.avi", 10}));
    EXPECT_EQ(registry.size(), 2u);
    const auto entry = registry.find("site", hash);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->path, mapped("c:\\b.avi").string());
    EXPECT_EQ(entry->size, 20);
}

} // namespace
} // namespace quarn::test
