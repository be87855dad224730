// Sharing as a user meets it: the console's share buttons register the demo
// files, and a peer fetches them from the console's own engine with curl.
#include "tests/e2e/e2e_support.h"

#include "platform/msgbox.h"
#include "res/resource.h"
#include "tests/support/process.h"

#include <cstdlib>
#include <vector>

namespace quarn::e2e {
namespace {

TEST_F(ConsoleTest, SharedSamplesAreServedFromTheConsolesEngine) {
    ASSERT_TRUE(test::OnPath("curl")) << "curl is not installed (scripts/install-deps.sh)";
    ASSERT_TRUE(test::OnPath("cmp")) << "cmp is not installed (diffutils)";
    // The engine takes it when the first registration starts its server
    // (main chose it, before anything started).
    const char* listening = std::getenv("QUARN_SHARE_LISTEN");
    ASSERT_NE(listening, nullptr);
    const std::string listen = listening;

    const std::int64_t share23 = sample::kShare23Size;
    const struct {
        int button;
        const char* path;
        const char* hash;
        std::int64_t size;
    } shares[] = {
        {IDC_SET_SHARE_FILE, sample::kShare1LocalFileName, sample::kShare1Hash,
         std::stoll(sample::kShare1Size)},
        {IDC_SET_SHARE_FILE2, sample::kShare2Path, sample::kShare2Hash, share23},
        {IDC_SET_SHARE_FILE3, sample::kShare3Path, sample::kShare3Hash, share23},
    };
    // A few marked blocks in each, so a byte served from the wrong place shows.
    std::vector<std::vector<std::int64_t>> marks;
    for (const auto& s : shares) {
        marks.push_back({0, 123457, 1'000'000'007, s.size - 4096});
        test::writeMarkedSparseFile(Drive(s.path), s.size, marks.back());
    }

    std::vector<QString> shown;
    platform::SetMessageBoxHandler([&](const QString&, const QString& text, UINT) {
        shown.push_back(text);
        return 1;
    });
    OpenConsole();
    for (const auto& s : shares) Click(s.button);
    platform::SetMessageBoxHandler({});
    const QString yes = QString::fromUtf8("등록됨");
    ASSERT_EQ(shown, (std::vector<QString>{yes, yes, yes}));

    const fs::path piece = dir_ / "piece";
    for (std::size_t i = 0; i < std::size(shares); ++i) {
        const std::string url =
            "http://" + listen + "/" + sample::kShareSite + "/" + shares[i].hash;
        for (std::int64_t offset : marks[i]) {
            const std::string range = std::to_string(offset) + "-" + std::to_string(offset + 4095);
            fs::remove(piece);
            const std::string code =
                test::Capture("curl -s -o '" + piece.string() + "' -w '%{http_code}' -r " + range +
                              " '" + url + "'");
            EXPECT_EQ(code, "206") << url << " " << range;
            EXPECT_TRUE(test::readAt(piece, 0, 8192) ==
                        test::readAt(Drive(shares[i].path), offset, 4096))
                << url << " " << range;
        }
    }
    // One of them whole, every byte compared as it streams.
    const std::string whole =
        "http://" + listen + "/" + sample::kShareSite + "/" + sample::kShare2Hash;
    EXPECT_EQ(test::Capture("curl -sSf '" + whole + "' | cmp - '" + Drive(shares[1].path).string() +
                            "' && echo same"),
              "same\n");
}

} // namespace
} // namespace quarn::e2e
