// An answer's way out without the server: head and file bytes through a
// socket pair, from a mapping or block by block, and what a file changed
// meanwhile does to it.
#include "libquarn/share_answer.h"
#include "tests/engine/engine_test_env.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>

namespace quarn::test {
namespace {

using engine::Outgoing;
using Sent = Outgoing::Sent;

class OutgoingTest : public ::testing::Test {
protected:
    void SetUp() override {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        ours_.reset(pair[0]);
        peer_.reset(pair[1]);
        ASSERT_EQ(::fcntl(ours_.get(), F_SETFL, O_NONBLOCK), 0);
        ASSERT_EQ(::fcntl(peer_.get(), F_SETFL, O_NONBLOCK), 0);
    }

    // The file as registered now, open for an answer of bytes [first, end).
    engine::FileBody body(const fs::path& path, long long first, long long end, bool mapped) {
        engine::FileBody b;
        b.file.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat info {};
        EXPECT_EQ(::fstat(b.file.get(), &info), 0);
        b.registered = {path.string(), info.st_size, info.st_dev, info.st_ino,
                        info.st_mtim,  info.st_ctim, 1,           nullptr};
        b.site = "s";
        b.hash = "h";
        b.next = first;
        b.end = end;
        if (mapped) b.map = std::make_shared<const engine::FileMapping>(b.file.get(), info.st_size);
        return b;
    }

    // Sends until the answer ends one way or another, reading the peer's
    // side meanwhile; `midway` runs once, when the socket first fills.
    Sent pump(Outgoing& out, const std::function<void()>& midway = {}) {
        bool changed = false;
        for (;;) {
            const Sent sent = out.send(ours_.get(), nullptr, engine::ShareClock::now(), pool_, 4);
            if (sent != Sent::Blocked && sent != Sent::Again) return sent;
            if (sent == Sent::Blocked && midway && !changed) {
                changed = true;
                midway();
            }
            drain();
        }
    }

    void drain() {
        char buffer[65536];
        for (ssize_t n; (n = ::recv(peer_.get(), buffer, sizeof buffer, 0)) > 0;)
            received_.append(buffer, static_cast<std::size_t>(n));
    }

    engine::UniqueFd ours_, peer_;
    engine::BlockPool pool_;
    std::string received_;
    TempDir dir_{"quarn-outgoing"};
};

TEST_F(OutgoingTest, HeadThenTheRangeExactlyMappedOrNot) {
    const std::string bytes = sampleBytes(5 * kMiB + 13, 3);
    writeFile(dir_.path() / "f.bin", bytes);
    for (const bool mapped : {true, false}) {
        for (const auto& [first, end] :
             {std::pair<long long, long long>{0, 5 * kMiB + 13}, {4097, 3 * kMiB}, {100, 200}}) {
            received_.clear();
            Outgoing out;
            out.start("HEAD\r\n");
            out.attach(body(dir_.path() / "f.bin", first, end, mapped));
            EXPECT_EQ(pump(out), Sent::Done);
            drain();
            EXPECT_TRUE(received_ ==
                        "HEAD\r\n" + bytes.substr(static_cast<std::size_t>(first),
                                                  static_cast<std::size_t>(end - first)))
                << (mapped ? "mapped " : "read ") << first << "-" << end << ": " << received_.size()
                << " bytes";
            out.clear(pool_);
        }
    }
}

TEST_F(OutgoingTest, AFileChangedMeanwhileEndsTheAnswerBeforeItsLength) {
    const std::size_t size = 16 * kMiB;
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> change;
    };
    const Case cases[] = {
        {"truncated", [](const fs::path& p) { fs::resize_file(p, fs::file_size(p) / 2); }},
        {"emptied", [](const fs::path& p) { fs::resize_file(p, 0); }},
        {"rewritten, mtime put back",
         [](const fs::path& p) {
             const auto when = fs::last_write_time(p);
             std::fstream file(p, std::ios::in | std::ios::out | std::ios::binary);
             file.write("changed", 7);
             file.close();
             fs::last_write_time(p, when);
         }},
    };
    for (const bool mapped : {true, false}) {
        for (const Case& c : cases) {
            const fs::path path = dir_.path() / "changing.bin";
            writeFile(path, sampleBytes(size, 5));
            received_.clear();
            Outgoing out;
            out.start("HEAD\r\n");
            out.attach(body(path, 0, static_cast<long long>(size), mapped));
            EXPECT_EQ(pump(out, [&] { c.change(path); }), Sent::Changed)
                << c.name << (mapped ? ", mapped" : ", read");
            drain();
            EXPECT_LT(received_.size(), size + 6) << c.name;
            out.clear(pool_);
        }
    }
}

TEST_F(OutgoingTest, TheHeadGoesOutWhileTheBudgetWaits) {
    writeFile(dir_.path() / "f.bin", sampleBytes(kMiB, 1));
    const auto now = engine::ShareClock::now();
    engine::RateBudget budget(1000, now); // nothing saved yet
    Outgoing out;
    out.start("HEAD\r\n");
    out.attach(body(dir_.path() / "f.bin", 0, kMiB, true));
    EXPECT_EQ(out.send(ours_.get(), &budget, now, pool_, 1), Sent::Again);
    EXPECT_EQ(out.send(ours_.get(), &budget, now, pool_, 1), Sent::Budget);
    drain();
    EXPECT_EQ(received_, "HEAD\r\n");
    EXPECT_EQ(out.send(ours_.get(), &budget, now + std::chrono::seconds(5), pool_, 1), Sent::Again);
    drain();
    EXPECT_GT(received_.size(), 6u);
}

} // namespace
} // namespace quarn::test
