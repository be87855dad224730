// quarn get at its edges, as a user types it: argument errors reported in
// the order written and before anything is created, what --help promises,
// and a relative --out taken from the working directory.
#include "tests/engine/engine_test_env.h"
#include "tests/support/process.h"

#include <sstream>

namespace quarn::test {
namespace {

using namespace std::chrono_literals;

class QuarnGet : public EngineTest {
protected:
    // Runs quarn with `args` ("{OUT}" stands for out()) in `cwd`; its exit
    // status, its output in output().
    int run(std::vector<std::string> args, const fs::path& cwd = {}) {
        for (std::string& a : args)
            if (a == "{OUT}") a = out().string();
        args.insert(args.begin(), QUARN_CLI_BINARY);
        Child quarn(args, {}, (tmp_ / "quarn.out").string(), cwd.string());
        EXPECT_EQ(quarn.SpawnError(), 0);
        return quarn.Wait();
    }
    std::string output() const { return readFile(tmp_ / "quarn.out"); }
    // A directory no start has made yet.
    fs::path out() const { return tmp_ / "made" / "x.bin"; }
    // The lines the command wrote as errors, without their "quarn: ".
    std::vector<std::string> errorLines() const {
        std::vector<std::string> lines;
        std::istringstream in(output());
        for (std::string line; std::getline(in, line);)
            if (line.rfind("quarn: ", 0) == 0) lines.push_back(line.substr(7));
        return lines;
    }
};

struct ArgumentRow {
    const char* name;
    std::vector<std::string> args;
    // The start of each error line, in order.
    std::vector<std::string> errors;
};

class ArgumentErrors : public QuarnGet, public ::testing::WithParamInterface<ArgumentRow> {};

TEST_P(ArgumentErrors, AreReportedInTheOrderWrittenBeforeAnythingIsCreated) {
    EXPECT_EQ(run(GetParam().args), 2) << output();
    const std::vector<std::string> lines = errorLines();
    ASSERT_EQ(lines.size(), GetParam().errors.size()) << output();
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].rfind(GetParam().errors[i], 0), 0u) << lines[i];
    EXPECT_FALSE(fs::exists(out().parent_path()));
}

const std::string kGoodHash = kHash;
const std::string kServerHint = "--server must be HOST:PORT with a port of 1 to 65535";

std::vector<std::string> getWith(const std::string& server) {
    return {"get",     "--server", server, "--site", "open_site", "--hash",
            kGoodHash, "--size",   "1000", "--out",  "{OUT}"};
}

INSTANTIATE_TEST_SUITE_P(
    Cli, ArgumentErrors,
    ::testing::Values(
        ArgumentRow{"ServerWithoutPort", getWith("127.0.0.1"), {kServerHint}},
        ArgumentRow{"HttpsServerWithoutPort", getWith("https://127.0.0.1"), {kServerHint}},
        ArgumentRow{"BracketedWithoutPort", getWith("[::1]"), {kServerHint}},
        ArgumentRow{"EmptyPort", getWith("127.0.0.1:"), {kServerHint}},
        ArgumentRow{"PortZero", getWith("127.0.0.1:0"), {kServerHint}},
        ArgumentRow{"PortPastTheRange", getWith("127.0.0.1:65536"), {kServerHint}},
        ArgumentRow{"PortNotANumber", getWith("HTTP://127.0.0.1:http"), {kServerHint}},
        ArgumentRow{"ShortHash",
                    {"get", "--server", "127.0.0.1:9", "--site", "s", "--hash", "abc", "--size",
                     "5", "--out", "{OUT}"},
                    {"--hash must be 32 hexadecimal digits"}},
        ArgumentRow{"InTheOrderWritten",
                    {"get", "--size", "0", "--bogus", "--hash", "xyz", "--server", "h", "--site",
                     "s", "--out", "{OUT}"},
                    {"--size must be", "unknown option --bogus", "--hash must be", kServerHint}},
        ArgumentRow{
            "MissingOnesLastInTheHelpsOrder",
            {"get", "--out", "{OUT}", "--hash", "xyz"},
            {"--hash must be", "--server is required", "--site is required", "--size is required"}},
        ArgumentRow{"GivenTwiceWhereRepeated",
                    {"get", "--site", "a", "--size", "-1", "--site", "b", "--server", "h:1",
                     "--hash", kGoodHash, "--out", "{OUT}"},
                    {"--size must be", "--site given twice"}},
        ArgumentRow{"PasswordWithoutUserWhereWritten",
                    {"get", "--password", "p", "--size", "x", "--server", "h:1", "--site", "s",
                     "--hash", kGoodHash, "--out", "{OUT}"},
                    {"--password needs --user", "--size must be"}},
        ArgumentRow{"StrayArgumentWhereWritten",
                    {"get", "--server", "h:1", "stray", "--site", "", "--hash", kGoodHash, "--size",
                     "5", "--out", "{OUT}"},
                    {"unexpected argument stray", "--site must not be empty"}},
        ArgumentRow{"ValueMissingAtTheEnd",
                    {"get", "--size", "0", "--server", "h:1", "--site", "s", "--hash", kGoodHash,
                     "--out", "{OUT}", "--file"},
                    {"--size must be", "--file needs a value"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(QuarnGet, HelpSaysWhatHashAndServerMustBe) {
    EXPECT_EQ(run({"--help"}), 0);
    std::string help;
    std::istringstream in(output());
    for (std::string word; in >> word;) help += word + " "; // the wrapping is the help's own
    EXPECT_NE(help.find("HASH is 32 hexadecimal digits"), std::string::npos) << output();
    EXPECT_NE(help.find("the PORT is required"), std::string::npos) << output();
    EXPECT_NE(help.find("relative to the working directory"), std::string::npos) << output();
}

struct RelativeRow {
    const char* name;
    const char* out;
    const char* lands; // under tmp_/work
};

class RelativeOut : public QuarnGet, public ::testing::WithParamInterface<RelativeRow> {};

TEST_P(RelativeOut, IsTakenFromTheWorkingDirectory) {
    const std::string bytes = serve("open_site", "sample.bin", 100000);
    const fs::path cwd = tmp_ / "work" / "here";
    fs::create_directories(cwd);
    ASSERT_EQ(run({"get", "--server", nginx_.endpoint(), "--site", "open_site", "--file",
                   "sample.bin", "--hash", kGoodHash, "--size", "100000", "--out", GetParam().out},
                  cwd),
              0)
        << output();
    // As getcwd names it: without links.
    const fs::path lands = fs::canonical(tmp_) / "work" / GetParam().lands;
    EXPECT_TRUE(readFile(lands) == bytes) << lands;
    EXPECT_NE(output().find("complete: 100000 bytes in " + lands.string() + "\n"),
              std::string::npos)
        << output();
}

INSTANTIATE_TEST_SUITE_P(Cli, RelativeOut,
                         ::testing::Values(RelativeRow{"Name", "x.bin", "here/x.bin"},
                                           RelativeRow{"Below", "sub/x.bin", "here/sub/x.bin"},
                                           RelativeRow{"Dotted", "./x.bin", "here/x.bin"},
                                           RelativeRow{"Above", "../x.bin", "x.bin"},
                                           RelativeRow{"Beside", "../there/x.bin", "there/x.bin"}),
                         [](const auto& p) { return std::string(p.param.name); });

} // namespace
} // namespace quarn::test
