// Engine throughput against the curl command line, same file, same nginx,
// same disk, in one run; plus the cost of a poll and the latency of a stop.
//
//   bench_engine [rounds]      (default 3)
#include "bench/bench_support.h"
#include "tests/support/nginx_fixture.h"

#include <cstdio>

namespace {

using namespace quarn::bench;
using quarn::test::NginxServer;

constexpr int64_t kSampleSize = sample::kFileSize; // the console's sample file
constexpr const char* kName = sample::kServerFileName;

int32_t start(const std::string& server, const std::string& site, const std::string& local) {
    return startDownload(u16(site).c_str(), u16(server).c_str(), u16(kName).c_str(), u"1",
                         u16(local).c_str(), u16(sample::kHash).c_str(), kSampleSize, u"", u"",
                         u"");
}

int32_t state() {
    return getDownloadState(nullptr, nullptr, nullptr, nullptr);
}

struct EngineTimes {
    double total = 0;    // start to completion, durable
    double lastByte = 0; // last byte written to completion: the closing flush and rename
};

// Downloads the sample into `target` (which stays) to its completion.
EngineTimes sampleDownload(const std::string& server, const fs::path& target) {
    Clock::time_point lastByte{}, done{};
    EngineJob job{server, "bench_site", kName, kSampleSize};
    job.onPoll = [&](int32_t state, int64_t onDisk) {
        const auto now = Clock::now();
        if (onDisk == kSampleSize && lastByte == Clock::time_point{}) lastByte = now;
        if (state >= QUARN_STATE_COMPLETE) done = now;
    };
    const double total = engineDownload(job, target);
    return {total, std::chrono::duration<double>(done - lastByte).count()};
}

EngineTimes engineRound(const std::string& server, const fs::path& target) {
    const EngineTimes times = sampleDownload(server, target);
    fs::remove(target);
    return times;
}

double curlRound(const std::string& url, const fs::path& target) {
    const double seconds = timedRun({"curl", "-s", "-o", target.string(), url});
    if (fs::file_size(target) != kSampleSize) throw std::runtime_error("curl download failed");
    fs::remove(target);
    return seconds;
}

void run(int rounds) {
    const BenchDirs dirs("quarn-bench");
    // The server side as a sparse file of the exact size.
    for (const char* site : {"bench_site", "slow_site"})
        makeSparseFile(dirs.www() / site / kName, kSampleSize);

    NginxServer nginx;
    quarn::test::NginxOptions options;
    options.root = dirs.www();
    options.locations = {{"/slow_site/", "", "", 20 * 1024 * 1024, false, ""}};
    nginx.start(options);
    const std::string server = nginx.endpoint();
    const fs::path engineFile = dirs.benchFile("engine.bin");
    const fs::path curlFile = dirs.benchFile("curl.bin");
    const std::string url = "http://" + server + "/bench_site/" + kName;

    std::printf("sample: %lld bytes from nginx on %s, %d rounds\n",
                static_cast<long long>(kSampleSize), server.c_str(), rounds);
    // One untimed download each first: the first large write of a run pays
    // for page-cache growth and disk allocation, whoever makes it.
    const double warmEngine = engineRound(server, engineFile).total,
                 warmCurl = curlRound(url, curlFile);
    std::printf("warm-up (not counted): libquarn %.1f MB/s, curl %.1f MB/s\n",
                kSampleSize / 1e6 / warmEngine, kSampleSize / 1e6 / warmCurl);
    std::vector<double> engineMBs, curlMBs, lastByteMs;
    for (int r = 0; r < rounds; ++r) {
        EngineTimes e;
        double c = 0;
        alternate(
            r, [&] { e = engineRound(server, engineFile); }, [&] { c = curlRound(url, curlFile); });
        engineMBs.push_back(kSampleSize / 1e6 / e.total);
        curlMBs.push_back(kSampleSize / 1e6 / c);
        lastByteMs.push_back(e.lastByte * 1e3);
        std::printf("round %d: libquarn %.1f MB/s (%.2f s, last byte to complete %.1f ms), "
                    "curl %.1f MB/s (%.2f s)\n",
                    r + 1, engineMBs.back(), e.total, lastByteMs.back(), curlMBs.back(), c);
    }
    const double engineMedian = median(engineMBs), curlMedian = median(curlMBs);
    // The engine's figure includes flushing the data and the directory before
    // it reports completion; curl's does not flush at all.
    std::printf("throughput median (durable): libquarn %.1f MB/s, curl %.1f MB/s, ratio %.3f "
                "(target >= 1.0)\n",
                engineMedian, curlMedian, engineMedian / curlMedian);
    std::printf("last byte to complete: median %.1f ms, max %.1f ms\n", median(lastByteMs),
                *std::max_element(lastByteMs.begin(), lastByteMs.end()));

    // What the resume check costs: a .part already holding the whole file is
    // confirmed by fetching and comparing the overlap only, then completed.
    std::vector<double> verifyMs;
    for (int r = 0; r < rounds; ++r) {
        sampleDownload(server, engineFile);
        fs::rename(engineFile, engineFile.string() + ".part");
        int64_t received = -1;
        const double t = sampleDownload(server, engineFile).total;
        getDownloadState(nullptr, nullptr, &received, nullptr);
        if (received != 0) throw std::runtime_error("the resume fetched more than the overlap");
        verifyMs.push_back(t * 1e3);
        fs::remove(engineFile);
    }
    std::printf("resume of a whole .part (64 KiB fetched and compared, then completed): median "
                "%.1f ms, against %.1f ms for the full download\n",
                median(verifyMs), kSampleSize / 1e6 / engineMedian * 1e3);

    // Polls while a (rate-limited) download runs.
    const fs::path slowFile = dirs.benchFile("slow.bin");
    if (start(server, "slow_site", "d:\\bench\\slow.bin") != 0)
        throw std::runtime_error("slow start");
    waitUntil([] { return state() == QUARN_STATE_RECEIVING; }, std::chrono::seconds(10),
              "receiving");
    int32_t speed = 0, remain = 0;
    int64_t received = 0, fileBytes = 0;
    const double pollNs =
        nanosPerCall([&] { getDownloadState(&speed, &remain, &received, &fileBytes); }, 1000000);
    const double jsonNs = nanosPerCall([] { (void)getDownloadStateJson(); }, 200000);
    std::printf(
        "poll cost median: getDownloadState %.1f ns/call, getDownloadStateJson %.1f ns/call "
        "(state %d)\n",
        pollNs, jsonNs, state());
    stopDownload();

    // Stop latency: from the call to its return, the file closed.
    std::vector<double> stopMs;
    for (int i = 0; i < 9; ++i) {
        fs::remove(slowFile.string() + ".part");
        if (start(server, "slow_site", "d:\\bench\\slow.bin") != 0)
            throw std::runtime_error("start");
        waitUntil(
            [] {
                int64_t bytes = 0;
                return getDownloadState(nullptr, nullptr, nullptr, &bytes) ==
                           QUARN_STATE_RECEIVING &&
                       bytes > 0;
            },
            std::chrono::seconds(10), "receiving");
        const auto t0 = Clock::now();
        stopDownload();
        stopMs.push_back(secondsSince(t0) * 1e3);
        if (state() != QUARN_STATE_STOPPED) throw std::runtime_error("stop did not stop");
    }
    std::printf("stop latency: median %.3f ms, max %.3f ms over %zu stops (target < 100 ms)\n",
                median(stopMs), *std::max_element(stopMs.begin(), stopMs.end()), stopMs.size());
    nginx.stop();
}

} // namespace

int main(int argc, char** argv) {
    return benchMain("bench_engine", argc, argv, 3, run);
}
