// Sharing as a user meets it: the console's share buttons register the demo
// files, and a peer fetches them from the console's own engine with curl.
#include "tests/e2e/e2e_support.h"

#include "platform/msgbox.h"
#include "tests/support/process.h"
#include "res/resource.h"
#include "dialog/samplerequest.h"

#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace quarn::e2e {
namespace {

// A sparse file of the demo's size with a few marked blocks, so a byte
// served from the wrong place shows.
std::vector<std::int64_t> WriteMarkedSample(const fs::path& path, std::int64_t size) {
    fs::create_directories(path.parent_path());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(::ftruncate(fd, size), 0);
    const std::vector<std::int64_t> offsets = {0, 123457, 1'000'000'007, size - 4096};
    std::vector<char> block(4096);
    for (std::int64_t offset : offsets) {
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>((offset + static_cast<std::int64_t>(i)) * 131 % 251 + 1);
        EXPECT_EQ(::pwrite(fd, block.data(), block.size(), offset), static_cast<ssize_t>(block.size()));
    }
    ::close(fd);
    return offsets;
}

std::string ReadAt(const fs::path& path, std::int64_t offset, std::size_t length) {
    std::string bytes(length, '\0');
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t n = ::pread(fd, bytes.data(), length, offset);
    ::close(fd);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
}

TEST_F(ConsoleTest, SharedSamplesAreServedFromTheConsolesEngine) {
    ASSERT_TRUE(test::OnPath("curl")) << "curl is not installed (scripts/install-deps.sh)";
    ASSERT_TRUE(test::OnPath("cmp")) << "cmp is not installed (diffutils)";
    // The engine takes it when the first registration starts its server; a
    // port of our own, so the demo's default may be in use meanwhile.
    const std::string listen = "127.0.0.1:" + std::to_string(test::freeLoopbackPort());
    ::setenv("QUARN_SHARE_LISTEN", listen.c_str(), 1);

    const std::int64_t share23 = sample::kShare23Size;
    const struct {
        int button;
        const char* path;
        const char* hash;
        std::int64_t size;
    } shares[] = {
        {IDC_SET_SHARE_FILE, "d/nginx-1.8.0/html/content/왕좌의 게임111.mp4", sample::kShare1Hash,
         std::stoll(sample::kShare1Size)},
        {IDC_SET_SHARE_FILE2, "c/download/aaa.avi", sample::kShare2Hash, share23},
        {IDC_SET_SHARE_FILE3, "c/download/bbb.avi", sample::kShare3Hash, share23},
    };
    std::vector<std::vector<std::int64_t>> marks;
    for (const auto& s : shares) marks.push_back(WriteMarkedSample(Drive(s.path), s.size));

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
        const std::string url = "http://" + listen + "/" + sample::kShareSite + "/" + shares[i].hash;
        for (std::int64_t offset : marks[i]) {
            const std::string range = std::to_string(offset) + "-" + std::to_string(offset + 4095);
            fs::remove(piece);
            const std::string code = test::Capture("curl -s -o '" + piece.string() + "' -w '%{http_code}' -r " +
                                                   range + " '" + url + "'");
            EXPECT_EQ(code, "206") << url << " " << range;
            EXPECT_TRUE(ReadAt(piece, 0, 8192) == ReadAt(Drive(shares[i].path), offset, 4096))
                << url << " " << range;
        }
    }
    // One of them whole, every byte compared as it streams.
    const std::string whole = "http://" + listen + "/" + sample::kShareSite + "/" + sample::kShare2Hash;
    EXPECT_EQ(test::Capture("curl -sSf '" + whole + "' | cmp - '" + Drive(shares[1].path).string() +
                            "' && echo same"),
              "same\n");
}

} // namespace
} // namespace quarn::e2e
