// Files for the suites and benchmarks: temporary directories, whole-file
// reads and writes, sparse samples with marked blocks, and where the engine
// puts a drive path. Failures throw, so a test reports them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quarn::test {

namespace fs = std::filesystem;

// A fresh directory $TMPDIR/STEM-XXXXXX.
fs::path makeTempDir(const char* stem);

// A fresh temporary directory, removed with everything in it.
class TempDir {
public:
    explicit TempDir(const char* stem) : path_(makeTempDir(stem)) {}
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string readFile(const fs::path& path);
// Up to `length` bytes from `offset`.
std::string readAt(const fs::path& path, std::int64_t offset, std::size_t length);
// Creates the parent directories; replaces what was there.
void writeFile(const fs::path& path, const std::string& bytes);
// Whether both files hold the same bytes.
bool sameContent(const fs::path& a, const fs::path& b);

// A file of exactly `size` bytes that takes no disk, when its length is all
// that counts.
void makeSparseFile(const fs::path& path, std::int64_t size);
// The same with a marked 4 KiB block at each offset, so a byte served or
// resumed from the wrong place shows in a comparison.
void writeMarkedSparseFile(const fs::path& path, std::int64_t size,
                           const std::vector<std::int64_t>& offsets);

// Where "X:\dir\file" lives below a drive root: root/x/dir/file.
fs::path drivePath(const fs::path& root, const std::string& windowsPath);

} // namespace quarn::test
