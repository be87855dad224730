// The quarn command at its edges: a progress reader that goes away, and
// files it cannot share, each told by name and reason.
#include "tests/engine/share_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

namespace quarn::test {
namespace {

using namespace std::chrono_literals;

class QuarnEdgeTest : public ShareServerTest {
protected:
    // Runs `args` to its end, both streams in tmp_/NAME.out; its status.
    int run(const std::string& name, const std::vector<std::string>& args) {
        Child program(args, {}, (tmp_ / (name + ".out")).string());
        EXPECT_EQ(program.SpawnError(), 0);
        return program.Wait();
    }
    std::string output(const std::string& name) const { return readFile(tmp_ / (name + ".out")); }
};

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

TEST_F(QuarnEdgeTest, AProgressReaderThatLeavesDoesNotStopTheDownload) {
    // 1 MiB/s: several progress lines after the reader has gone.
    const std::string bytes = serve("slow_site", "sample.bin", 3 * kMiB);
    const fs::path out = tmp_ / "piped.bin", status = tmp_ / "status", first = tmp_ / "first";
    std::string get = shellQuoted(QUARN_CLI_BINARY);
    for (const std::string& arg :
         {std::string("get"), std::string("--server"), nginx_.endpoint(), std::string("--site"),
          std::string("slow_site"), std::string("--file"), std::string("sample.bin"),
          std::string("--hash"), std::string(kHash), std::string("--size"),
          std::to_string(bytes.size()), std::string("--out"), out.string()})
        get += " " + shellQuoted(arg);
    // As `quarn get ... | head -n 1` in a terminal: head reads one line and exits.
    const std::string pipeline = "(" + get + "; echo $? > " + shellQuoted(status.string()) +
                                 ") | head -n 1 > " + shellQuoted(first.string());
    ASSERT_EQ(run("pipeline", {"sh", "-c", pipeline}), 0) << output("pipeline");
    EXPECT_EQ(readFile(status), "0\n") << "quarn's own exit status";
    EXPECT_TRUE(readFile(out) == bytes);
    EXPECT_NE(readFile(first).find('%'), std::string::npos) << readFile(first);
}

TEST_F(QuarnEdgeTest, ShareNamesAFileItCannotOpenOrReadAndTheReason) {
    const std::string listen = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    // Unreadable by its mode: for root too, by running the command as nobody.
    fs::permissions(tmp_, fs::perms::owner_all | fs::perms::others_exec);
    writeFile(tmp_ / "locked.bin", "secret");
    fs::permissions(tmp_ / "locked.bin", fs::perms::none);
    fs::create_directories(tmp_ / "folder");
    writeFile(tmp_ / "empty.bin", "");
    const fs::path pseudo = pseudoFile();
    ASSERT_FALSE(pseudo.empty()) << "no 4096-byte sysfs file to try";
    struct Case {
        const char* name;
        fs::path file;
        bool unprivileged;
        std::string says;
    };
    const Case cases[] = {
        {"missing", tmp_ / "none.bin", false,
         "cannot open " + (tmp_ / "none.bin").string() + ": No such file or directory"},
        {"no permission", tmp_ / "locked.bin", true,
         "cannot open " + (tmp_ / "locked.bin").string() + ": Permission denied"},
        {"a directory", tmp_ / "folder", false,
         (tmp_ / "folder").string() + " is not a regular file"},
        {"empty", tmp_ / "empty.bin", false,
         (tmp_ / "empty.bin").string() + " is not a regular file"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {
            QUARN_CLI_BINARY, "share",         "--site",   "s",   "--hash",
            kShareHash,       c.file.string(), "--listen", listen};
        if (c.unprivileged && ::geteuid() == 0)
            args.insert(args.begin(),
                        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        EXPECT_EQ(run("share", args), 3) << c.name << "\n" << output("share");
        EXPECT_NE(output("share").find("quarn share: " + c.says), std::string::npos)
            << c.name << "\n"
            << output("share");
        EXPECT_EQ(output("share").find("url:"), std::string::npos) << c.name;
    }
    // Readable, but on a file system whose sizes are made up: the engine refuses it.
    EXPECT_EQ(run("pseudo", {QUARN_CLI_BINARY, "share", "--site", "s", "--hash", kShareHash,
                             pseudo.string(), "--listen", listen}),
              3);
    EXPECT_NE(output("pseudo").find("did not register " + pseudo.string()), std::string::npos)
        << output("pseudo");
}

TEST_F(QuarnEdgeTest, ShareListensOnlyWhereTheEngineSaysItDoes) {
    writeFile(tmp_ / "offered.bin", "offered");
    const std::string offered = (tmp_ / "offered.bin").string();
    LoopbackListener other; // someone else on the port
    const std::string busy = "127.0.0.1:" + std::to_string(other.port());
    struct Case {
        const char* name;
        std::vector<std::string> extra;
        std::vector<std::string> env;
        std::string says;
    };
    const Case cases[] = {
        {"busy port", {"--listen", busy}, {}, "cannot listen on " + busy},
        {"off", {}, {"QUARN_SHARE_LISTEN=off"}, "sharing is off"},
        {"not an address", {"--listen", "peer.example:80"}, {}, "neither host:port nor off"},
        {"port chosen by the system", {"--listen", "127.0.0.1:0"}, {}, "is not sharing"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {QUARN_CLI_BINARY, "share",    "--site", "s",
                                         "--hash",         kShareHash, offered};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        Child program(args, c.env, (tmp_ / "listen.out").string());
        ASSERT_EQ(program.SpawnError(), 0);
        EXPECT_EQ(program.Wait(), 3) << c.name << "\n" << readFile(tmp_ / "listen.out");
        EXPECT_NE(readFile(tmp_ / "listen.out").find(c.says), std::string::npos)
            << c.name << "\n"
            << readFile(tmp_ / "listen.out");
    }
}

} // namespace
} // namespace quarn::test
