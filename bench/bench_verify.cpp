// The verifier on a 2 GiB file in 1 MiB blocks: read back and checked from
// the page cache with 1 and 2 threads (flush=false), the same with the
// whole-file digest (blocks in order, and interleaved as 4 connections bring
// them), and made durable right after the data was written (flush=true);
// beside `openssl dgst -sha256` and `sha256sum` of the same file in the same
// run. fdatasync is timed here, by defining its wrapper, for its cost per
// batch.
//
//   bench_verify [rounds]      (default 3)
#include "bench/bench_support.h"
#include "libquarn/handles.h"
#include "libquarn/metalink.h"
#include "libquarn/verifier.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>

namespace {

std::atomic<int> g_syncs{0};
std::atomic<int64_t> g_syncNanos{0};

} // namespace

extern "C" int fdatasync(int fd) {
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = static_cast<int>(::syscall(SYS_fdatasync, fd));
    g_syncNanos +=
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    ++g_syncs;
    return rc;
}

namespace {

using namespace quarn::bench;
using quarn::engine::MetalinkFile;
using quarn::engine::UniqueFd;
using quarn::engine::Verifier;
using quarn::engine::VerifyJob;
using quarn::engine::VerifyVerdict;

constexpr int64_t kSize = int64_t{2} * 1024 * 1024 * 1024;
constexpr int64_t kBlock = quarn::engine::kDefaultPieceLength;
constexpr std::size_t kWriteChunk = std::size_t{8} * 1024 * 1024;

// The same bytes every time, none of two chunks alike.
void writeData(int fd) {
    std::vector<char> chunk(kWriteChunk);
    std::mt19937_64 random(1);
    for (std::size_t i = 0; i + 8 <= chunk.size(); i += 8) {
        const std::uint64_t v = random();
        std::memcpy(chunk.data() + i, &v, 8);
    }
    for (int64_t at = 0; at < kSize; at += static_cast<int64_t>(chunk.size())) {
        std::memcpy(chunk.data(), &at, sizeof at);
        if (::pwrite(fd, chunk.data(), chunk.size(), at) != static_cast<ssize_t>(chunk.size()))
            throw std::runtime_error("cannot write the bench file");
    }
}

enum class Whole { Off, InOrder, FourWays };

struct Figures {
    double seconds = 0;
    int syncs = 0;
    double syncMs = 0;
};

Figures verifyRun(int fd, const MetalinkFile& doc, int threads, bool flush, Whole whole) {
    const auto blocks = static_cast<std::size_t>(doc.pieces.size());
    std::vector<std::size_t> order;
    if (whole == Whole::FourWays) {
        const std::size_t quarter = blocks / 4;
        for (std::size_t i = 0; i < quarter; ++i)
            for (std::size_t k = 0; k < 4; ++k) order.push_back(k * quarter + i);
    } else {
        for (std::size_t i = 0; i < blocks; ++i) order.push_back(i);
    }
    g_syncs = 0;
    g_syncNanos = 0;
    const auto t0 = Clock::now();
    Verifier v(fd, nullptr, threads);
    if (whole != Whole::Off) v.hashWholeFile(kSize);
    for (const std::size_t i : order) {
        const auto offset = static_cast<int64_t>(i) * kBlock;
        v.submit({i, offset, std::min(kBlock, kSize - offset), doc.pieces[i], flush});
    }
    v.drain();
    const std::vector<VerifyVerdict> verdicts = v.take();
    Figures f;
    f.seconds = secondsSince(t0);
    f.syncs = g_syncs;
    f.syncMs = g_syncs > 0 ? static_cast<double>(g_syncNanos) / 1e6 / g_syncs : 0;
    if (verdicts.size() != blocks)
        throw std::runtime_error("verdicts missing: " + std::to_string(verdicts.size()));
    for (const VerifyVerdict& verdict : verdicts)
        if (verdict.kind != VerifyVerdict::Kind::Good)
            throw std::runtime_error("block " + std::to_string(verdict.block) + " not Good");
    if (whole != Whole::Off && v.wholeFileDigest() != doc.sha256)
        throw std::runtime_error("whole-file digest differs");
    return f;
}

double gbs(double seconds) {
    return kSize / 1e9 / seconds;
}

void run(int rounds) {
    const TempDir dir("quarn-bench-verify");
    const fs::path path = dir.path() / "data.part";
    const UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) throw std::runtime_error("cannot create " + path.string());
    writeData(fd.get());
    ::fsync(fd.get());

    // The expected hashes, as `quarn meta` computes them (and how fast).
    const auto d0 = Clock::now();
    const std::optional<MetalinkFile> doc = quarn::engine::describeFile(fd.get(), kSize, "data");
    const double describeSeconds = secondsSince(d0);
    if (!doc) throw std::runtime_error("cannot describe the bench file");
    std::printf("file: %lld bytes in %zu blocks of %lld, in the page cache; %d rounds (median)\n",
                static_cast<long long>(kSize), doc->pieces.size(), static_cast<long long>(kBlock),
                rounds);

    std::map<std::string, std::vector<double>> seconds;
    std::map<std::string, std::vector<double>> syncMs;
    std::map<std::string, std::vector<double>> syncs;
    const auto verify = [&](const std::string& name, int threads, bool flush, Whole whole) {
        if (flush) {
            writeData(fd.get()); // dirty again: the flush has the whole file to write
        }
        const Figures f = verifyRun(fd.get(), *doc, threads, flush, whole);
        seconds[name].push_back(f.seconds);
        syncMs[name].push_back(f.syncMs);
        syncs[name].push_back(f.syncs);
    };
    const auto peer = [&](const std::string& name, std::vector<std::string> args) {
        args.push_back(path.string());
        seconds[name].push_back(timedRun(std::move(args)));
    };
    for (int r = 0; r < rounds; ++r) {
        alternate(
            r,
            [&] {
                peer("openssl dgst -sha256", {"openssl", "dgst", "-sha256"});
            },
            [&] { verify("verifier x1", 1, false, Whole::Off); });
        alternate(
            r, [&] { peer("sha256sum", {"sha256sum"}); },
            [&] { verify("verifier x2", 2, false, Whole::Off); });
        verify("verifier x2 + whole, in order", 2, false, Whole::InOrder);
        verify("verifier x2 + whole, 4 ways", 2, false, Whole::FourWays);
        verify("verifier x1, flush", 1, true, Whole::Off);
        verify("verifier x2, flush", 2, true, Whole::Off);
    }

    std::printf("describeFile (whole + piece hashes, one read): %.2f GB/s\n", gbs(describeSeconds));
    for (const char* name : {"openssl dgst -sha256", "sha256sum", "verifier x1", "verifier x2",
                             "verifier x2 + whole, in order", "verifier x2 + whole, 4 ways",
                             "verifier x1, flush", "verifier x2, flush"}) {
        std::printf("  %-30s %6.3f s  %5.2f GB/s", name, median(seconds[name]),
                    gbs(median(seconds[name])));
        if (syncs.count(name) != 0 && median(syncs[name]) > 0)
            std::printf("  %3.0f fdatasync, %.2f ms each", median(syncs[name]),
                        median(syncMs[name]));
        std::printf("\n");
    }
    const double peerGbs = gbs(median(seconds["openssl dgst -sha256"]));
    for (const char* name : {"verifier x1", "verifier x2", "verifier x2 + whole, in order",
                             "verifier x2 + whole, 4 ways"})
        std::printf("%s / openssl dgst: %.2f\n", name, gbs(median(seconds[name])) / peerGbs);
    std::printf("flush=true includes writing the 2 GiB back to the disk (the data was just "
                "written): x1 %.2f, x2 %.2f of openssl dgst from the cache\n",
                gbs(median(seconds["verifier x1, flush"])) / peerGbs,
                gbs(median(seconds["verifier x2, flush"])) / peerGbs);
}

} // namespace

int main(int argc, char** argv) {
    return benchMain("bench_verify", argc, argv, 3, run);
}
