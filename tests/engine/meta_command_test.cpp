// `quarn meta` run for real: its document read back by the engine's reader,
// and its answers to bad arguments and files it cannot read.
#include "libquarn/metalink.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

namespace quarn::engine {
namespace {

namespace fs = std::filesystem;

class MetaCommandTest : public ::testing::Test {
protected:
    // Runs `quarn meta ARGS...`; its standard output and error in `out`.
    int meta(std::vector<std::string> args, std::string& out) {
        args.insert(args.begin(), {QUARN_CLI_BINARY, "meta"});
        const fs::path output = dir_.path() / "out";
        test::Child program(args, {}, output.string());
        EXPECT_EQ(program.SpawnError(), 0);
        const int status = program.Wait();
        out = test::readFile(output);
        return status;
    }
    std::string randomFile(const std::string& name, std::size_t size) {
        std::string bytes(size, '\0');
        std::mt19937 random(static_cast<unsigned>(size));
        for (char& c : bytes) c = static_cast<char>(random());
        test::writeFile(dir_.path() / name, bytes);
        return bytes;
    }

    test::TempDir dir_{"quarn-meta"};
};

TEST_F(MetaCommandTest, DocumentReadsBackAsTheFile) {
    const struct {
        const char* name;
        std::size_t size;
        std::vector<std::string> options;
        int64_t pieceLength;
    } cases[] = {
        {"sample.bin", 3 * 1024 * 1024 + 5, {}, kDefaultPieceLength},
        {"a & <b> \"c\".bin", 1000, {"--piece-size", "300"}, 300},
        {"\xEC\x83\x98\xED\x94\x8C.bin", 70000, {"--piece-size=65536"}, 65536},
        {"exact.bin", 2 * 1024 * 1024, {}, kDefaultPieceLength},
        {"one.bin", 1, {}, kDefaultPieceLength},
        {"empty.bin", 0, {}, 0},
    };
    for (const auto& c : cases) {
        const std::string bytes = randomFile(c.name, c.size);
        std::vector<std::string> args = c.options;
        args.push_back((dir_.path() / c.name).string());
        std::string document;
        ASSERT_EQ(meta(args, document), 0) << c.name << ": " << document;

        const MetalinkResult r = parseMetalink(document, c.name);
        ASSERT_EQ(r.kind, MetalinkResult::Kind::Ok) << c.name << ": " << r.why;
        EXPECT_EQ(r.file.name, c.name);
        EXPECT_EQ(r.file.size, static_cast<int64_t>(c.size)) << c.name;
        EXPECT_EQ(r.file.sha256, sha256(bytes)) << c.name;
        EXPECT_EQ(r.file.pieceLength, c.pieceLength) << c.name;
        std::vector<Sha256> pieces;
        for (std::size_t at = 0; c.pieceLength > 0 && at < c.size;
             at += static_cast<std::size_t>(c.pieceLength))
            pieces.push_back(sha256(
                std::string_view(bytes).substr(at, static_cast<std::size_t>(c.pieceLength))));
        EXPECT_EQ(r.file.pieces, pieces) << c.name;
    }
}

TEST_F(MetaCommandTest, BadArgumentsExitTwo) {
    randomFile("f", 3 * 1024 * 1024);
    const std::string f = (dir_.path() / "f").string();
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{}, "one FILE"},
        {{f, f}, "one FILE"},
        {{f, "--piece-size", "0"}, "--piece-size"},
        {{f, "--piece-size", "-5"}, "--piece-size"},
        {{f, "--piece-size", "1MiB"}, "--piece-size"},
        {{f, "--piece-size"}, "needs a value"},
        {{f, "--piece-size=1", "--piece-size=2"}, "twice"},
        {{f, "--pieces", "10"}, "unknown option"},
        // 10-byte pieces of 3 MiB would make a document no reader takes.
        {{f, "--piece-size", "10"}, "--piece-size"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(meta(c.args, out), 2) << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << out;
        EXPECT_EQ(out.find("<metalink"), std::string::npos) << out;
    }
}

TEST_F(MetaCommandTest, SuggestsThePieceSizeThatFits) {
    randomFile("f", 3 * 1024 * 1024);
    const std::string f = (dir_.path() / "f").string();
    std::string out;
    ASSERT_EQ(meta({f, "--piece-size", "10"}, out), 2);
    const std::size_t at = out.find("use --piece-size ");
    ASSERT_NE(at, std::string::npos) << out;
    const long long fits = std::stoll(out.substr(at + 17));
    EXPECT_EQ(meta({f, "--piece-size", std::to_string(fits - 1)}, out), 2);
    ASSERT_EQ(meta({f, "--piece-size", std::to_string(fits)}, out), 0);
    EXPECT_LE(out.size(), kMetalinkMaxBytes);
    EXPECT_EQ(parseMetalink(out, "f").kind, MetalinkResult::Kind::Ok);
}

// A sysfs attribute: a regular file whose stated size (a page) is more than
// it holds, so reading it ends early.
fs::path shortFile() {
    for (const auto& entry : fs::directory_iterator("/sys/kernel")) {
        struct stat st {};
        if (::stat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
            static_cast<int64_t>(test::readFile(entry.path()).size()) < st.st_size)
            return entry.path();
    }
    return {};
}

TEST_F(MetaCommandTest, AFileItCannotReadExitsThree) {
    const fs::path endsEarly = shortFile();
    ASSERT_FALSE(endsEarly.empty()) << "no file under /sys/kernel reads shorter than its size";
    const struct {
        std::string path;
        const char* says;
    } cases[] = {
        {(dir_.path() / "missing").string(), "No such file"},
        {dir_.path().string(), "not a regular file"},
        {endsEarly.string(), "shorter"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(meta({c.path}, out), 3) << out;
        EXPECT_NE(out.find(c.path + ": "), std::string::npos) << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << out;
        EXPECT_EQ(out.find("<metalink"), std::string::npos) << out;
    }
}

} // namespace
} // namespace quarn::engine
