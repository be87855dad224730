// Every entry point from several threads at once. Run under the tsan preset
// this is the data-race check; in any build it checks answers stay sane.
#include "tests/engine/engine_test_env.h"
#include "tests/support/threads.h"

#include <atomic>
#include <thread>

namespace quarn::test {
namespace {

using namespace std::chrono_literals;

class ConcurrencyTest : public EngineTest {};

TEST_F(ConcurrencyTest, PollsStopsAndRegistrationsOverlapDownloads) {
    serve("slow_site", "sample.bin", 2 * kMiB);
    const std::string small = serve("test_site", "small.bin", 64 * 1024);
    writeFile(mapped("c:\\share\\a.bin"), small);

    std::atomic<int> badStates{0}, badJson{0}, polls{0}, stops{0};
    TestThreads threads;
    for (int i = 0; i < 2; ++i) {
        threads.start([&](std::stop_token done) {
            while (!done.stop_requested()) {
                const int32_t state = poll().state;
                if (state < QUARN_STATE_PREPARING || state > QUARN_STATE_SERVER_ERROR) ++badStates;
                const std::u16string json = getDownloadStateJson();
                if (json.find(u"\"state\":") == std::u16string::npos ||
                    json.find(u"\"filesize\":") == std::u16string::npos)
                    ++badJson;
                ++polls;
            }
        });
    }
    threads.start([&](std::stop_token done) {
        while (!done.stop_requested()) {
            // Stop only now and then, so some downloads also finish.
            if (poll().fileBytes > 256 * 1024) {
                stopDownload();
                ++stops;
            }
            std::this_thread::yield();
        }
    });
    threads.start([&](std::stop_token done) {
        int n = 0;
        while (!done.stop_requested()) {
            setShareFile2(u"test_site", u"d4301f3edae670bde22305e444e4c2a1", u"c:\\share\\a.bin",
                          (n++ % 2 == 0) ? 64 * 1024 : 1);
        }
    });

    int completed = 0, stopped = 0;
    for (int round = 0; round < 12; ++round) {
        Download d = (round % 3 == 0) ? request("test_site", "small.bin", 64 * 1024)
                                      : request("slow_site", "sample.bin", 2 * kMiB);
        d.localFileName = "d:\\c\\" + std::to_string(round) + ".bin";
        const int32_t started = (round % 2 == 0) ? d.start() : d.startJson();
        ASSERT_EQ(started, 0) << "round " << round;
        const int32_t end = waitForEnd(10s);
        ASSERT_TRUE(end == QUARN_STATE_COMPLETE || end == QUARN_STATE_STOPPED)
            << "round " << round << " ended in " << end;
        (end == QUARN_STATE_COMPLETE ? completed : stopped)++;
        stopDownload();
    }
    threads.stopAndJoin();

    EXPECT_EQ(badStates.load(), 0);
    EXPECT_EQ(badJson.load(), 0);
    EXPECT_GT(polls.load(), 0);
    EXPECT_GT(completed, 0);
    EXPECT_GT(stopped, 0);
}

} // namespace
} // namespace quarn::test
