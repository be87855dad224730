// Engine throughput against the curl command line, same file, same nginx,
// same disk, in one run: plain, and verified against the origin's Metalink
// document (4 connections, every piece hashed and flushed before it counts),
// with the CPU time each spends per GB; then a resume's check of a whole
// .part, the cost of a poll and the latency of a stop.
//
//   bench_engine [rounds]      (default 3)
#include "bench/bench_support.h"
#include "libquarn/handles.h"
#include "libquarn/metalink.h"
#include "tests/support/environment.h"
#include "tests/support/nginx_fixture.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>

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
EngineTimes sampleDownload(const std::string& server, const std::string& site,
                           const fs::path& target) {
    Clock::time_point lastByte{}, done{};
    EngineJob job{server, site, kName, kSampleSize};
    job.onPoll = [&](int32_t state, int64_t onDisk) {
        const auto now = Clock::now();
        if (onDisk == kSampleSize && lastByte == Clock::time_point{}) lastByte = now;
        if (state >= QUARN_STATE_COMPLETE) done = now;
    };
    const double total = engineDownload(job, target);
    return {total, std::chrono::duration<double>(done - lastByte).count()};
}

// CPU seconds of this process (the engine's threads) or of its waited-for
// children (curl), so far.
double cpuSeconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Round {
    double seconds = 0;
    double cpu = 0; // seconds
    double lastByte = 0;
};

Round engineRound(const std::string& server, const std::string& site, const fs::path& target) {
    const double cpu0 = cpuSeconds(RUSAGE_SELF);
    EngineTimes times;
    {
        const quarn::test::ScopedEnv four("QUARN_CONNECTIONS", "4", [] { stopDownload(); });
        times = sampleDownload(server, site, target);
    }
    const double cpu = cpuSeconds(RUSAGE_SELF) - cpu0;
    fs::remove(target);
    return {times.total, cpu, times.lastByte};
}

Round curlRound(const std::string& url, const fs::path& target) {
    const double cpu0 = cpuSeconds(RUSAGE_CHILDREN);
    const double seconds = timedRun({"curl", "-s", "-o", target.string(), url});
    if (fs::file_size(target) != kSampleSize) throw std::runtime_error("curl download failed");
    fs::remove(target);
    return {seconds, cpuSeconds(RUSAGE_CHILDREN) - cpu0, 0};
}

// The sample's document beside it, as a publisher puts it (`quarn meta`).
void publishDocument(const fs::path& file) {
    const quarn::engine::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    const auto doc = quarn::engine::describeFile(fd.get(), kSampleSize, kName);
    if (!doc) throw std::runtime_error("cannot describe " + file.string());
    std::FILE* out = std::fopen((file.string() + ".meta4").c_str(), "w");
    const std::string text = quarn::engine::writeMetalink(*doc);
    if (out == nullptr || std::fwrite(text.data(), 1, text.size(), out) != text.size())
        throw std::runtime_error("cannot write the document");
    std::fclose(out);
}

void run(int rounds) {
    const BenchDirs dirs("quarn-bench");
    // The server side as a sparse file of the exact size; the verified site
    // has its document beside it.
    for (const char* site : {"bench_site", "verified_site", "slow_site"})
        makeSparseFile(dirs.www() / site / kName, kSampleSize);
    publishDocument(dirs.www() / "verified_site" / kName);

    NginxServer nginx;
    quarn::test::NginxOptions options;
    options.root = dirs.www();
    options.locations = {{"/slow_site/", "", "", 20 * 1024 * 1024, false, ""}};
    nginx.start(options);
    const std::string server = nginx.endpoint();
    const fs::path engineFile = dirs.benchFile("engine.bin");
    const fs::path curlFile = dirs.benchFile("curl.bin");
    const std::string url = "http://" + server + "/bench_site/" + kName;

    std::printf("sample: %lld bytes from nginx on %s, 4 connections, %d rounds\n",
                static_cast<long long>(kSampleSize), server.c_str(), rounds);
    // One untimed download each first: the first large write of a run pays
    // for page-cache growth and disk allocation, whoever makes it.
    const double warmEngine = engineRound(server, "bench_site", engineFile).seconds,
                 warmCurl = curlRound(url, curlFile).seconds;
    std::printf("warm-up (not counted): libquarn %.1f MB/s, curl %.1f MB/s\n",
                kSampleSize / 1e6 / warmEngine, kSampleSize / 1e6 / warmCurl);
    std::vector<double> plainMBs, verifiedMBs, curlMBs, lastByteMs, plainCpu, verifiedCpu, curlCpu;
    const double gb = kSampleSize / 1e9;
    for (int r = 0; r < rounds; ++r) {
        Round plain, verified, c;
        alternate(
            r,
            [&] {
                plain = engineRound(server, "bench_site", engineFile);
                verified = engineRound(server, "verified_site", engineFile);
            },
            [&] { c = curlRound(url, curlFile); });
        plainMBs.push_back(kSampleSize / 1e6 / plain.seconds);
        verifiedMBs.push_back(kSampleSize / 1e6 / verified.seconds);
        curlMBs.push_back(kSampleSize / 1e6 / c.seconds);
        plainCpu.push_back(plain.cpu / gb);
        verifiedCpu.push_back(verified.cpu / gb);
        curlCpu.push_back(c.cpu / gb);
        lastByteMs.push_back(verified.lastByte * 1e3);
        std::printf("round %d: libquarn %.1f MB/s, verified %.1f MB/s (last byte to complete "
                    "%.1f ms), curl %.1f MB/s\n",
                    r + 1, plainMBs.back(), verifiedMBs.back(), lastByteMs.back(), curlMBs.back());
    }
    const double curlMedian = median(curlMBs);
    // The engine's figures include flushing every piece, the data and the
    // directory before it reports completion; curl's do not flush at all.
    std::printf("throughput median (durable): libquarn %.1f MB/s, ratio %.3f; verified %.1f MB/s, "
                "ratio %.3f (target >= 1.0); curl %.1f MB/s\n",
                median(plainMBs), median(plainMBs) / curlMedian, median(verifiedMBs),
                median(verifiedMBs) / curlMedian, curlMedian);
    std::printf("CPU per GB median: libquarn %.2f s, verified %.2f s, curl %.2f s\n",
                median(plainCpu), median(verifiedCpu), median(curlCpu));
    std::printf("last byte to complete (verified): median %.1f ms, max %.1f ms\n",
                median(lastByteMs), *std::max_element(lastByteMs.begin(), lastByteMs.end()));

    // What a resume's check of a .part already holding the whole file costs:
    // without a document, fetching and comparing the overlap; with one, every
    // piece read back and verified.
    for (const char* site : {"bench_site", "verified_site"}) {
        std::vector<double> checkMs;
        for (int r = 0; r < rounds; ++r) {
            sampleDownload(server, site, engineFile);
            fs::rename(engineFile, engineFile.string() + ".part");
            int64_t received = -1;
            const double t = sampleDownload(server, site, engineFile).total;
            getDownloadState(nullptr, nullptr, &received, nullptr);
            if (received > 64 * 1024) throw std::runtime_error("the resume fetched the file again");
            checkMs.push_back(t * 1e3);
            fs::remove(engineFile);
        }
        std::printf("resume of a whole .part, %s: median %.1f ms%s\n",
                    std::string(site) == "bench_site" ? "64 KiB fetched and compared"
                                                      : "every piece read back and verified",
                    median(checkMs),
                    std::string(site) == "bench_site" ? "" : " (target <= 2500 ms)");
    }

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
