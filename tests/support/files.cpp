#include "tests/support/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace quarn::test {

namespace {

// An open descriptor, closed when it goes.
class Fd {
public:
    Fd(const fs::path& path, int flags) : fd_(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + path.string() + ": " + std::strerror(errno));
    }
    ~Fd() { ::close(fd_); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

fs::path makeTempDir(const char* stem) {
    std::string pattern = (fs::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    return pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string readAt(const fs::path& path, std::int64_t offset, std::size_t length) {
    std::string bytes(length, '\0');
    const Fd fd(path, O_RDONLY);
    const ssize_t n = ::pread(fd.get(), bytes.data(), length, offset);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
}

void writeFile(const fs::path& path, const std::string& bytes) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

bool sameContent(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (fs::file_size(a, ec) != fs::file_size(b, ec) || ec) return false;
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (fa && fb) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount()) return false;
        if (std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(fa.gcount())) != 0)
            return false;
    }
    return fa.eof() && fb.eof();
}

void makeSparseFile(const fs::path& path, std::int64_t size) {
    writeMarkedSparseFile(path, size, {});
}

void writeMarkedSparseFile(const fs::path& path, std::int64_t size,
                           const std::vector<std::int64_t>& offsets) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    const Fd fd(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (::ftruncate(fd.get(), size) != 0) throw std::runtime_error("cannot size " + path.string());
    std::vector<char> block(4096);
    for (const std::int64_t offset : offsets) {
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>((offset + static_cast<std::int64_t>(i)) * 131 % 251 + 1);
        if (::pwrite(fd.get(), block.data(), block.size(), offset) !=
            static_cast<ssize_t>(block.size()))
            throw std::runtime_error("cannot mark " + path.string());
    }
}

fs::path drivePath(const fs::path& root, const std::string& windowsPath) {
    std::string rest = windowsPath.substr(3);
    for (char& c : rest)
        if (c == '\\') c = '/';
    return root / std::string(1, static_cast<char>(windowsPath.at(0) | 0x20)) / rest;
}

} // namespace quarn::test
