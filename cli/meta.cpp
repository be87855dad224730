// quarn meta: the Metalink 4 document of a file, for a publisher to put
// beside it as FILE.meta4. Written by the engine's own document unit, so the
// engine reads back exactly what this writes.
#include "cli/commands.h"

#include "libquarn/handles.h"
#include "libquarn/metalink.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>

namespace quarn::cli {
namespace {

using engine::MetalinkFile;

// The document's length for `pieces` piece hashes, from the writer itself.
std::size_t documentLength(const MetalinkFile& shape, int64_t pieces) {
    MetalinkFile one = shape;
    one.sha256 = engine::Sha256{};
    one.pieces.assign(1, engine::Sha256{});
    MetalinkFile two = one;
    two.pieces.resize(2);
    const std::size_t base = engine::writeMetalink(one).size();
    const std::size_t each = engine::writeMetalink(two).size() - base;
    return base + static_cast<std::size_t>(pieces - 1) * each;
}

// The smallest piece length whose document the engine still reads.
int64_t fittingPieceLength(const MetalinkFile& shape) {
    const std::size_t base = documentLength(shape, 1);
    const std::size_t each = documentLength(shape, 2) - base;
    const auto most = static_cast<int64_t>((engine::kMetalinkMaxBytes - base) / each + 1);
    return (shape.size + most - 1) / most;
}

int fail(const std::string& file, const std::string& why) {
    std::fprintf(stderr, "quarn: %s: %s\n", file.c_str(), why.c_str());
    return kStartFailed;
}

} // namespace

int runMeta(const std::vector<std::string>& args) {
    const Options options(args, {"--piece-size"}, {});
    if (options.positional().size() != 1) throw UsageError{"meta takes one FILE"};
    const std::string& file = options.positional().front();
    int64_t pieceLength = engine::kDefaultPieceLength;
    if (const std::optional<std::string> given = options.value("--piece-size")) {
        const std::optional<long long> value = parsePositive(*given);
        if (!value) throw UsageError{"--piece-size must be a number of bytes above 0"};
        pieceLength = *value;
    }

    const engine::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return fail(file, std::strerror(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return fail(file, std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return fail(file, "not a regular file");

    MetalinkFile shape;
    shape.name = std::filesystem::path(file).filename().string();
    shape.size = st.st_size;
    shape.pieceLength = pieceLength;
    if (shape.size > 0 && documentLength(shape, (shape.size + pieceLength - 1) / pieceLength) >
                              engine::kMetalinkMaxBytes)
        throw UsageError{"pieces of " + std::to_string(pieceLength) + " bytes make " + file +
                         "'s document longer than readers take; use --piece-size " +
                         std::to_string(fittingPieceLength(shape)) + " or more"};

    errno = 0;
    const std::optional<MetalinkFile> described =
        engine::describeFile(fd.get(), shape.size, shape.name, pieceLength);
    if (!described)
        return fail(file, errno != 0 ? std::strerror(errno) : "it became shorter while read");
    const std::string document = engine::writeMetalink(*described);
    if (std::fwrite(document.data(), 1, document.size(), stdout) != document.size() ||
        std::fflush(stdout) != 0) {
        std::fprintf(stderr, "quarn: cannot write the document: %s\n", std::strerror(errno));
        return kStartFailed;
    }
    return kComplete;
}

} // namespace quarn::cli
