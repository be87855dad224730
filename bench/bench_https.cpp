// HTTPS throughput of the engine against the curl command line: the same
// file from the same nginx with TLS, both trusting the same throw-away CA,
// alternating in one run.
//
//   bench_https [rounds] [MiB]      (default 5 rounds of a 1024 MiB file)
#include "bench/bench_support.h"
#include "tests/support/nginx_fixture.h"
#include "tests/support/tls_certs.h"

#include <cstdio>
#include <sys/resource.h>

namespace {

using namespace quarn::bench;

constexpr const char* kName = "sample.bin";

double cpuSeconds(const rusage& usage) {
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double selfCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return cpuSeconds(usage);
}

struct Round {
    double seconds = 0, cpu = 0;
};

Round engineRound(const std::string& server, const fs::path& target, int64_t size) {
    const double cpu0 = selfCpuSeconds();
    EngineJob job{server, "bench_site", kName, size};
    // Every wake-up takes a core from nginx or the transfer, which curl's
    // round does not pay for, so not too often: 5 ms is at most 0.3% of a 2 s
    // round.
    job.pollEvery = std::chrono::milliseconds(5);
    const double seconds = engineDownload(job, target);
    const Round round{seconds, selfCpuSeconds() - cpu0};
    fs::remove(target);
    return round;
}

Round curlRound(const std::string& url, const fs::path& ca, const fs::path& target, int64_t size) {
    const std::string out = target.string(), caArg = ca.string();
    // -q: no ~/.curlrc, so both sides run on defaults.
    const auto t0 = Clock::now();
    quarn::test::Child curl({"curl", "-q", "-s", "--cacert", caArg, "-o", out, url}, {},
                            "/dev/null");
    if (curl.SpawnError() != 0)
        throw std::runtime_error("cannot run curl (run scripts/install-deps.sh)");
    rusage usage{};
    const int status = curl.Wait(&usage);
    const Round round{secondsSince(t0), cpuSeconds(usage)};
    if (status != 0 || static_cast<int64_t>(fs::file_size(target)) != size)
        throw std::runtime_error("curl download failed");
    fs::remove(target);
    return round;
}

void run(int rounds, int64_t size) {
    const BenchDirs dirs("quarn-bench-https");
    // Sparse on the server side, so neither client waits for a disk read.
    makeSparseFile(dirs.www() / "bench_site" / kName, size);

    const quarn::test::TestCertificates certificates;
    // Before the engine's first thread.
    ::setenv("QUARN_CA_FILE", certificates.caFile().c_str(), 1);
    quarn::test::NginxServer nginx;
    quarn::test::NginxOptions options;
    options.root = dirs.www();
    options.tls = {certificates.valid.certificate, certificates.valid.key, false};
    nginx.start(options);
    const std::string server = "https://" + nginx.endpoint();
    const std::string url = server + "/bench_site/" + kName;
    const fs::path engineFile = dirs.benchFile("engine.bin");
    const fs::path curlFile = dirs.benchFile("curl.bin");

    std::printf("sample: %lld bytes over TLS from nginx on %s, %d rounds\n",
                static_cast<long long>(size), nginx.endpoint().c_str(), rounds);
    // Untimed first downloads: the first large write of a run pays for
    // page-cache growth and disk allocation, whoever makes it.
    const Round warmEngine = engineRound(server, engineFile, size),
                warmCurl = curlRound(url, certificates.caFile(), curlFile, size);
    std::printf("warm-up (not counted): libquarn %.1f MB/s, curl %.1f MB/s\n",
                size / 1e6 / warmEngine.seconds, size / 1e6 / warmCurl.seconds);
    std::vector<double> engineMBs, curlMBs, ratios, engineCpu, curlCpu;
    for (int r = 0; r < rounds; ++r) {
        Round e, c;
        alternate(
            r, [&] { e = engineRound(server, engineFile, size); },
            [&] { c = curlRound(url, certificates.caFile(), curlFile, size); });
        engineMBs.push_back(size / 1e6 / e.seconds);
        curlMBs.push_back(size / 1e6 / c.seconds);
        ratios.push_back(c.seconds / e.seconds);
        engineCpu.push_back(e.cpu);
        curlCpu.push_back(c.cpu);
        std::printf("round %d: libquarn %.1f MB/s (%.2f s, cpu %.2f s), curl %.1f MB/s (%.2f s, "
                    "cpu %.2f s), ratio %.3f\n",
                    r + 1, engineMBs.back(), e.seconds, e.cpu, curlMBs.back(), c.seconds, c.cpu,
                    ratios.back());
    }
    const double engineMedian = median(engineMBs), curlMedian = median(curlMBs);
    std::printf("HTTPS throughput median: libquarn %.1f MB/s, curl %.1f MB/s, ratio %.3f "
                "(target >= 1.0)\n",
                engineMedian, curlMedian, engineMedian / curlMedian);
    // Each round's pair ran back to back, so its ratio is what a load that
    // drifts over the run disturbs least.
    std::printf("median of per-round ratios: %.3f\n", median(ratios));
    // CPU time is what other processes on the machine disturb least.
    std::printf("client cpu median: libquarn %.2f s, curl %.2f s, ratio %.3f\n", median(engineCpu),
                median(curlCpu), median(curlCpu) / median(engineCpu));
    nginx.stop();
}

} // namespace

int main(int argc, char** argv) {
    const int64_t mib = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1024;
    return benchMain("bench_https", argc, argv, 5,
                     [&](int rounds) { run(rounds, mib * 1024 * 1024); });
}
