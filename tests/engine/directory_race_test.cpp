// A refused start takes back the directories it made, and only those: one
// that somebody else made between the engine's look and its mkdirat is
// theirs. The race is made certain by defining mkdirat here, ahead of the C
// library's, in this executable only: the other creator wins every time.
#include "tests/engine/engine_test_env.h"

#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::mutex g_mutex;
std::string g_contested; // a directory name somebody else makes first

} // namespace

extern "C" int mkdirat(int dir, const char* name, mode_t mode) {
    bool contested = false;
    {
        std::lock_guard lock(g_mutex);
        contested = !g_contested.empty() && g_contested == name;
    }
    if (contested) ::syscall(SYS_mkdirat, dir, name, 0755);
    return static_cast<int>(::syscall(SYS_mkdirat, dir, name, mode));
}

namespace quarn::test {
namespace {

class Contested {
public:
    explicit Contested(std::string name) {
        std::lock_guard lock(g_mutex);
        g_contested = std::move(name);
    }
    ~Contested() {
        std::lock_guard lock(g_mutex);
        g_contested.clear();
    }
    Contested(const Contested&) = delete;
    Contested& operator=(const Contested&) = delete;
};

struct RaceRow {
    const char* name;
    const char* contested; // the directory somebody else makes first
    const char* local;     // the start's file
    const char* kept;      // what stays below the drive root (d/...)
    const char* gone;      // what the refused start made and takes back
};

class DirectoryRace : public EngineTest, public ::testing::WithParamInterface<RaceRow> {};

TEST_P(DirectoryRace, ARefusedStartLeavesAnotherCreatorsDirectory) {
    const RaceRow& row = GetParam();
    fs::create_directories(driveRoot() / "d");
    Download d = request("test_site", "sample.bin", int64_t{1} << 60);
    d.localFileName = row.local;
    {
        const Contested race(row.contested);
        // More than any disk holds: refused once the directories are made.
        ASSERT_EQ(d.start(), QUARN_ERR_DISK_FULL);
    }
    EXPECT_TRUE(fs::is_directory(driveRoot() / row.kept)) << row.kept;
    EXPECT_FALSE(fs::exists(driveRoot() / row.gone)) << row.gone;
}

INSTANTIATE_TEST_SUITE_P(Engine, DirectoryRace,
                         ::testing::Values(RaceRow{"Innermost", "race", "d:\\mine\\race\\x.bin",
                                                   "d/mine/race", "d/mine/race/x.bin.part"},
                                           RaceRow{"Outer", "race", "d:\\race\\mine\\deeper\\x.bin",
                                                   "d/race", "d/race/mine"}),
                         [](const auto& p) { return std::string(p.param.name); });

} // namespace
} // namespace quarn::test
