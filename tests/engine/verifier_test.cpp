// The verifier on a real file: verdicts, each reported once, drain, a quick
// end with a full queue, the whole-file digest, and the order of the flushes
// before a Good verdict. The flushes and reads are watched by defining the
// system calls' wrappers here, ahead of the C library's.
#include "libquarn/handles.h"
#include "libquarn/verifier.h"
#include "tests/support/files.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

struct Event {
    std::string op; // sync_file_range, fdatasync-begin, fdatasync-end, taken
    int64_t offset = 0;
    int64_t length = 0;
    unsigned flags = 0;
    std::uint64_t block = 0;
};

std::mutex g_mutex;
std::vector<Event> g_events;
std::condition_variable g_gateOpened;
bool g_gateClosed = false;           // sync_file_range waits while it is
int g_failFdatasync = 0;             // errno for fdatasync to fail with, or 0
int g_failSyncRange = 0;             // the same for sync_file_range
std::function<void()> g_inFdatasync; // run before the real call, g_mutex held
std::atomic<int64_t> g_bytesRead{0};

void record(Event e) {
    g_events.push_back(std::move(e));
}

} // namespace

extern "C" {
int sync_file_range(int fd, off64_t offset, off64_t nbytes, unsigned int flags) {
    {
        std::unique_lock lock(g_mutex);
        record({"sync_file_range", offset, nbytes, flags, 0});
        g_gateOpened.wait(lock, [] { return !g_gateClosed; });
        if (g_failSyncRange != 0) {
            errno = g_failSyncRange;
            return -1;
        }
    }
    return static_cast<int>(::syscall(SYS_sync_file_range, fd, offset, nbytes, flags));
}
int fdatasync(int fd) {
    {
        std::lock_guard lock(g_mutex);
        record({"fdatasync-begin"});
        if (g_inFdatasync) g_inFdatasync();
        if (g_failFdatasync != 0) {
            errno = g_failFdatasync;
            return -1;
        }
    }
    const int rc = static_cast<int>(::syscall(SYS_fdatasync, fd));
    std::lock_guard lock(g_mutex);
    record({"fdatasync-end"});
    return rc;
}
ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
    const auto n = static_cast<ssize_t>(::syscall(SYS_pread64, fd, buf, count, offset));
    if (n > 0) g_bytesRead += n;
    return n;
}
}

namespace quarn::engine {
namespace {

using Kind = VerifyVerdict::Kind;
constexpr int64_t kBlock = 64 * 1024;

// Puts every watch back as it was, whatever a test left.
struct Watch {
    Watch() { reset(); }
    ~Watch() { reset(); }
    static void reset() {
        std::lock_guard lock(g_mutex);
        g_events.clear();
        g_gateClosed = false;
        g_failFdatasync = 0;
        g_failSyncRange = 0;
        g_inFdatasync = nullptr;
        g_gateOpened.notify_all();
    }
    static void closeGate() {
        std::lock_guard lock(g_mutex);
        g_gateClosed = true;
    }
    static void openGate() {
        std::lock_guard lock(g_mutex);
        g_gateClosed = false;
        g_gateOpened.notify_all();
    }
    static std::vector<Event> events() {
        std::lock_guard lock(g_mutex);
        return g_events;
    }
    static int count(const std::string& op) {
        std::lock_guard lock(g_mutex);
        return static_cast<int>(std::count_if(g_events.begin(), g_events.end(),
                                              [&](const Event& e) { return e.op == op; }));
    }
};

// A file of `blocks` random 64 KiB blocks and a shorter last one.
class VerifierTest : public ::testing::Test {
protected:
    void SetUp() override { makeFile(40); }

    void makeFile(int blocks) {
        bytes_.assign(static_cast<std::size_t>(blocks * kBlock + 1000), '\0');
        std::mt19937 random(5);
        for (char& c : bytes_) c = static_cast<char>(random());
        test::writeFile(dir_.path() / "f.part", bytes_);
        fd_.reset(::open((dir_.path() / "f.part").c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(fd_);
        jobs_.clear();
        for (int64_t at = 0; at < size(); at += kBlock) {
            const int64_t length = std::min(kBlock, size() - at);
            jobs_.push_back({static_cast<std::uint64_t>(jobs_.size()), at, length,
                             sha256(std::string_view(bytes_).substr(
                                 static_cast<std::size_t>(at), static_cast<std::size_t>(length))),
                             true});
        }
    }
    int64_t size() const { return static_cast<int64_t>(bytes_.size()); }

    // Takes verdicts until every job submitted has one.
    static std::vector<VerifyVerdict> takeAll(Verifier& v) {
        std::vector<VerifyVerdict> all;
        EXPECT_TRUE(test::waitFor([&] {
            for (const VerifyVerdict& verdict : v.take()) all.push_back(verdict);
            return v.outstanding() == 0;
        }));
        return all;
    }

    Watch watch_;
    test::TempDir dir_{"quarn-verifier"};
    std::string bytes_;
    UniqueFd fd_;
    std::vector<VerifyJob> jobs_;
};

TEST_F(VerifierTest, Verdicts) {
    const Sha256 wrong = sha256("not these bytes");
    const VerifyJob& first = jobs_.front();
    const struct {
        const char* what;
        VerifyJob job;
        int failSyncRange;
        int failFdatasync;
        bool badFd;
        Kind want;
    } cases[] = {
        {"matching, flushed", first, 0, 0, false, Kind::Good},
        {"matching, already durable",
         {7, first.offset, first.length, first.expected, false},
         0,
         0,
         false,
         Kind::Good},
        {"the last, short block", jobs_.back(), 0, 0, false, Kind::Good},
        {"not matching", {7, first.offset, first.length, wrong, true}, 0, 0, false, Kind::Bad},
        {"not matching, already durable",
         {7, first.offset, first.length, wrong, false},
         0,
         0,
         false,
         Kind::Bad},
        {"one byte off",
         {7, first.offset + 1, first.length, first.expected, true},
         0,
         0,
         false,
         Kind::Bad},
        {"no hash, flushed", {7, 0, size(), std::nullopt, true}, 0, 0, false, Kind::Good},
        {"no hash, nothing to do", {7, 0, size(), std::nullopt, false}, 0, 0, false, Kind::Good},
        {"empty", {7, 100, 0, sha256(""), true}, 0, 0, false, Kind::Good},
        {"past the end", {7, size() - 10, 20, wrong, true}, 0, 0, false, Kind::IoError},
        {"past the end, no hash",
         {7, size() - 10, 20, std::nullopt, true},
         0,
         0,
         false,
         Kind::IoError},
        {"negative offset", {7, -1, 20, wrong, true}, 0, 0, false, Kind::IoError},
        {"sync_file_range fails", first, EIO, 0, false, Kind::IoError},
        {"fdatasync fails", first, 0, EIO, false, Kind::IoError},
        {"fdatasync fails, nothing to flush",
         {7, first.offset, first.length, first.expected, false},
         0,
         EIO,
         false,
         Kind::Good},
        {"no file", first, 0, 0, true, Kind::IoError},
        {"no file, already durable",
         {7, first.offset, first.length, first.expected, false},
         0,
         0,
         true,
         Kind::IoError},
    };
    for (const auto& c : cases) {
        {
            std::lock_guard lock(g_mutex);
            g_failSyncRange = c.failSyncRange;
            g_failFdatasync = c.failFdatasync;
        }
        std::atomic<int> wakes{0};
        Verifier v(c.badFd ? -1 : fd_.get(), [&] { ++wakes; });
        v.submit(c.job);
        EXPECT_EQ(v.outstanding(), 1U) << c.what;
        v.drain();
        const std::vector<VerifyVerdict> got = v.take();
        ASSERT_EQ(got.size(), 1U) << c.what;
        EXPECT_EQ(got[0].block, c.job.block) << c.what;
        EXPECT_EQ(got[0].kind, c.want) << c.what;
        // Called once the verdict is out, so perhaps just after drain() returned.
        EXPECT_TRUE(test::waitFor([&] { return wakes.load() >= 1; })) << c.what;
        EXPECT_EQ(v.outstanding(), 0U) << c.what;
        EXPECT_TRUE(v.take().empty()) << c.what;
        Watch::reset();
    }
}

TEST_F(VerifierTest, ManyBlocksOnTwoThreadsEachReportedOnce) {
    makeFile(300);
    std::atomic<int> wakes{0};
    Verifier v(
        fd_.get(), [&] { ++wakes; }, 2);
    std::map<std::uint64_t, Kind> want;
    for (VerifyJob job : jobs_) {
        // Every seventh block carries another block's hash.
        if (job.block % 7 == 3) job.expected = jobs_[job.block - 1].expected;
        job.flush = job.block % 2 == 0;
        want[job.block] = job.block % 7 == 3 ? Kind::Bad : Kind::Good;
        v.submit(job);
    }
    const std::vector<VerifyVerdict> all = takeAll(v);
    std::map<std::uint64_t, Kind> got;
    for (const VerifyVerdict& verdict : all)
        EXPECT_TRUE(got.emplace(verdict.block, verdict.kind).second) << "twice: " << verdict.block;
    EXPECT_EQ(got, want);
    EXPECT_GE(wakes.load(), 1);
    v.drain();
    EXPECT_TRUE(v.take().empty());
}

TEST_F(VerifierTest, DrainWaitsForEveryVerdict) {
    Verifier v(fd_.get(), nullptr, 2);
    for (const VerifyJob& job : jobs_) v.submit(job);
    v.drain();
    EXPECT_EQ(v.outstanding(), jobs_.size());
    EXPECT_EQ(v.take().size(), jobs_.size());
    EXPECT_EQ(v.outstanding(), 0U);
    v.drain(); // nothing submitted: returns at once
}

TEST_F(VerifierTest, AFlushedBlockIsGoodOnlyAfterItsRangeAndTheFileReachedTheDisk) {
    std::optional<Verifier> v;
    std::vector<VerifyVerdict> all;
    // Whatever is published by the time fdatasync is called shows up here,
    // before that fdatasync's end.
    const auto takeLogged = [&] {
        for (const VerifyVerdict& verdict : v->take()) {
            record({"taken", 0, 0, 0, verdict.block});
            all.push_back(verdict);
        }
    };
    {
        std::lock_guard lock(g_mutex);
        g_inFdatasync = takeLogged;
    }
    v.emplace(fd_.get(), nullptr, 2);
    for (const VerifyJob& job : jobs_) v->submit(job);
    EXPECT_TRUE(test::waitFor([&] {
        std::lock_guard lock(g_mutex);
        takeLogged();
        return all.size() == jobs_.size();
    }));
    {
        std::lock_guard lock(g_mutex);
        g_inFdatasync = nullptr;
    }
    v.reset();

    const std::vector<Event> events = Watch::events();
    constexpr unsigned kWait =
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    for (const VerifyJob& job : jobs_) {
        const auto taken = std::find_if(events.begin(), events.end(), [&](const Event& e) {
            return e.op == "taken" && e.block == job.block;
        });
        ASSERT_NE(taken, events.end()) << job.block;
        const auto synced = std::find_if(events.begin(), taken, [&](const Event& e) {
            return e.op == "sync_file_range" && (e.flags & kWait) == kWait &&
                   e.offset <= job.offset && e.offset + e.length >= job.offset + job.length;
        });
        ASSERT_NE(synced, taken) << "block " << job.block << " published before its range synced";
        EXPECT_NE(
            std::find_if(synced, taken, [](const Event& e) { return e.op == "fdatasync-end"; }),
            taken)
            << "block " << job.block << " published before an fdatasync after its range's";
    }
    for (const VerifyVerdict& verdict : all) EXPECT_EQ(verdict.kind, Kind::Good);
}

TEST_F(VerifierTest, VerdictsReadyTogetherShareOneFdatasync) {
    Watch::closeGate(); // both threads stop in their first sync_file_range
    Verifier v(fd_.get(), nullptr, 2);
    for (const VerifyJob& job : jobs_) v.submit(job);
    ASSERT_TRUE(test::waitFor([] { return Watch::count("sync_file_range") == 2; }));
    Watch::openGate();
    EXPECT_EQ(takeAll(v).size(), jobs_.size());
    EXPECT_EQ(Watch::count("sync_file_range"), static_cast<int>(jobs_.size()));
    EXPECT_EQ(Watch::count("fdatasync-begin"), 1);
}

TEST_F(VerifierTest, EndsAtOnceWithAFullQueue) {
    constexpr int kJobs = 5000;
    {
        Verifier v(fd_.get(), nullptr, 2);
        const Sha256 whole = sha256(bytes_);
        for (int i = 0; i < kJobs; ++i)
            v.submit({static_cast<std::uint64_t>(i), 0, size(), whole, true});
    }
    // Only what was under way (or began while the queue was filled) ran.
    EXPECT_LT(Watch::count("sync_file_range"), kJobs / 2);
    fd_.reset();
}

TEST_F(VerifierTest, WholeFileDigestFromBlocksInAnyOrder) {
    const Sha256 whole = sha256(bytes_);
    const struct {
        const char* what;
        int threads;
        bool shuffled;
        bool hashes;
        bool spoil; // one block Bad first: the digest waits for it
    } cases[] = {
        {"in order, one thread", 1, false, true, false},
        {"in order, two threads", 2, false, true, false},
        {"in order, one spoiled", 1, false, true, true},
        {"shuffled, one thread", 1, true, true, true},
        {"shuffled, two threads", 2, true, true, true},
        {"shuffled, no piece hashes", 2, true, false, false},
    };
    for (const auto& c : cases) {
        std::vector<VerifyJob> jobs = jobs_;
        if (c.shuffled) std::shuffle(jobs.begin(), jobs.end(), std::mt19937(3));
        for (VerifyJob& job : jobs)
            if (!c.hashes) job.expected.reset();
        const VerifyJob held = jobs[jobs.size() / 3];
        if (c.spoil) jobs[jobs.size() / 3].expected = sha256("spoiled");

        Verifier v(fd_.get(), nullptr, c.threads);
        v.hashWholeFile(size());
        const int64_t readBefore = g_bytesRead;
        for (const VerifyJob& job : jobs) v.submit(job);
        v.drain();
        if (c.spoil) {
            EXPECT_FALSE(v.wholeFileDigest().has_value()) << c.what;
            v.submit(held);
            v.drain();
        }
        EXPECT_EQ(v.wholeFileDigest(), whole) << c.what;
        // Each block is read once to be checked; only those checked ahead
        // of the digest's front are read again.
        const int64_t read = g_bytesRead - readBefore;
        if (!c.shuffled && c.threads == 1 && !c.spoil) {
            EXPECT_EQ(read, size()) << c.what;
        }
        EXPECT_LE(read, 2 * size() + (c.spoil ? held.length : 0)) << c.what;
    }
}

TEST_F(VerifierTest, WholeFileDigestOfAnEmptyFile) {
    Verifier v(fd_.get(), nullptr);
    v.hashWholeFile(0);
    EXPECT_EQ(v.wholeFileDigest(), sha256(""));
}

} // namespace
} // namespace quarn::engine
