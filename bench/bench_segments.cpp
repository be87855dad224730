// Segmented downloads in one run: the engine with 1, 4 and 16 connections
// against nginx capping each connection at 20 MB/s, beside aria2c with 4 and
// 16 on the same file; then the full sample on plain loopback, 4 connections
// against one, where segmenting cannot help and must not hurt.
//
//   bench_segments [rounds]      (default 3)
#include "bench/bench_support.h"
#include "tests/support/environment.h"
#include "tests/support/nginx_fixture.h"

#include <cstdio>
#include <map>

namespace {

using namespace quarn::bench;
using quarn::test::NginxServer;

constexpr int64_t kCappedSize = 200 * 1000 * 1000;
constexpr int64_t kSampleSize = sample::kFileSize; // the console's sample file
// One engine download with `connections`; seconds to completion.
double engineRound(const BenchDirs& dirs, const std::string& server, const std::string& site,
                   int64_t size, int connections) {
    // Changed, and put back, only while no transfer runs.
    const quarn::test::ScopedEnv setting("QUARN_CONNECTIONS", std::to_string(connections).c_str(),
                                         [] { stopDownload(); });
    const fs::path target = dirs.benchFile("engine.bin");
    const double seconds = engineDownload(EngineJob{server, site, "sample.bin", size}, target);
    fs::remove(target);
    return seconds;
}

double aria2Round(const std::string& url, const fs::path& dir, int connections) {
    const std::string n = std::to_string(connections);
    const double seconds =
        timedRun({"aria2c", "-q", "-x" + n, "-s" + n, "-k1M", "--allow-overwrite=true",
                  "--file-allocation=none", "--auto-file-renaming=false", "-d", dir.string(), "-o",
                  "aria2.bin", url});
    fs::remove(dir / "aria2.bin");
    return seconds;
}

void run(int rounds) {
    const BenchDirs dirs("quarn-bench-segments");
    makeSparseFile(dirs.www() / "capped_site" / "sample.bin", kCappedSize);
    makeSparseFile(dirs.www() / "plain_site" / "sample.bin", kSampleSize);

    NginxServer nginx;
    quarn::test::NginxOptions options;
    options.root = dirs.www();
    options.locations = {{"/capped_site/", "", "", 20 * 1000 * 1000, false, ""}};
    nginx.start(options);
    const std::string server = nginx.endpoint();
    const std::string capped = "http://" + server + "/capped_site/sample.bin";

    std::printf("capped: %lld bytes, 20 MB/s per connection, %d rounds (median)\n",
                static_cast<long long>(kCappedSize), rounds);
    std::map<std::string, std::vector<double>> times;
    for (int r = 0; r < rounds; ++r) {
        for (const int n : {1, 4, 16})
            times["engine x" + std::to_string(n)].push_back(
                engineRound(dirs, server, "capped_site", kCappedSize, n));
        for (const int n : {4, 16})
            times["aria2c x" + std::to_string(n)].push_back(aria2Round(capped, dirs.tmp(), n));
    }
    const auto mbs = [&](const std::string& name) {
        return kCappedSize / 1e6 / median(times[name]);
    };
    for (const char* name : {"engine x1", "engine x4", "engine x16", "aria2c x4", "aria2c x16"})
        std::printf("  %-11s %6.2f s  %7.1f MB/s\n", name, median(times[name]), mbs(name));
    std::printf("engine x4 / engine x1:  %.2f (target >= 3.6)\n",
                mbs("engine x4") / mbs("engine x1"));
    std::printf("engine x4 / aria2c x4:  %.2f (target >= 1.0)\n",
                mbs("engine x4") / mbs("aria2c x4"));
    std::printf("engine x16 / aria2c x16: %.2f (target >= 1.0)\n",
                mbs("engine x16") / mbs("aria2c x16"));

    std::vector<double> one, four;
    for (int r = 0; r < rounds; ++r) {
        one.push_back(engineRound(dirs, server, "plain_site", kSampleSize, 1));
        four.push_back(engineRound(dirs, server, "plain_site", kSampleSize, 4));
    }
    const double oneMBs = kSampleSize / 1e6 / median(one),
                 fourMBs = kSampleSize / 1e6 / median(four);
    std::printf(
        "plain loopback, %lld bytes: x1 %.1f MB/s, x4 %.1f MB/s, ratio %.3f (target >= 0.95)\n",
        static_cast<long long>(kSampleSize), oneMBs, fourMBs, fourMBs / oneMBs);
    nginx.stop();
}

} // namespace

int main(int argc, char** argv) {
    return benchMain("bench_segments", argc, argv, 3, run);
}
