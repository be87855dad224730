// "Complete" means on the disk: the engine's calls to the kernel are watched
// by defining them here, ahead of the C library's, in this executable only.
#include "tests/engine/engine_test_env.h"

#include <fcntl.h>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

struct Call {
    std::string op;
    std::string path; // what the descriptor or the first name refers to
};

std::mutex g_mutex;
std::vector<Call> g_calls;

std::string pathOf(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

void record(const char* op, std::string path) {
    std::lock_guard lock(g_mutex);
    g_calls.push_back({op, std::move(path)});
}

} // namespace

extern "C" {
int fdatasync(int fd) {
    record("fdatasync", pathOf(fd));
    return static_cast<int>(::syscall(SYS_fdatasync, fd));
}
int fsync(int fd) {
    record("fsync", pathOf(fd));
    return static_cast<int>(::syscall(SYS_fsync, fd));
}
int sync_file_range(int fd, off64_t offset, off64_t nbytes, unsigned int flags) {
    record("sync_file_range", pathOf(fd));
    return static_cast<int>(::syscall(SYS_sync_file_range, fd, offset, nbytes, flags));
}
int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
              unsigned int flags) {
    record("renameat2", pathOf(olddirfd) + "/" + oldpath);
    return static_cast<int>(::syscall(SYS_renameat2, olddirfd, oldpath, newdirfd, newpath, flags));
}
}

namespace quarn::test {
namespace {

class DurabilityTest : public EngineTest {};

TEST_F(DurabilityTest, DataThenNameThenDirectoryReachTheDiskBeforeCompletion) {
    const std::string bytes = serve("test_site", "sample.bin", 64 * kMiB);
    const Download d = request("test_site", "sample.bin", 64 * kMiB);
    const fs::path target = mapped(d.localFileName);
    const std::string part = target.string() + ".part";
    {
        std::lock_guard lock(g_mutex);
        g_calls.clear();
    }
    ASSERT_EQ(d.start(), 0);
    ASSERT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(target) == bytes);

    std::lock_guard lock(g_mutex);
    std::vector<std::string> order;
    int earlyFlushes = 0;
    for (const Call& c : g_calls) {
        if (c.op == "sync_file_range" && c.path == part) ++earlyFlushes;
        // Pieces are flushed as they arrive: consecutive flushes count as one step.
        if (c.op == "fdatasync" && c.path == part && (order.empty() || order.back() != "data"))
            order.push_back("data");
        if (c.op == "renameat2" && c.path == part) order.push_back("rename");
        if (c.op == "fsync" && c.path == target.parent_path().string())
            order.push_back("directory");
    }
    EXPECT_EQ(order, (std::vector<std::string>{"data", "rename", "directory"}));
    // Each run goes to the disk while the data arrives, so the last flush is short.
    EXPECT_GE(earlyFlushes, 2);
}

} // namespace
} // namespace quarn::test
