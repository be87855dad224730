#include "libquarn/part_file.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn::engine {
namespace {

constexpr std::size_t kCompareBlock = std::size_t{512} * 1024;

bool lockWhole(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool writeAll(int fd, const char* data, std::size_t length, int64_t at) {
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, data, length, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
        at += n;
    }
    return true;
}

} // namespace

PartFile::Opened PartFile::open(int dir, const std::string& finalName,
                                std::unique_ptr<PartFile>& out) {
    std::unique_ptr<PartFile> p(new PartFile());
    p->finalName_ = finalName;
    p->partName_ = finalName + ".part";
    p->mapName_ = p->partName_ + ".map";
    p->dir_.reset(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
    if (!p->dir_) return Opened::Failed;
    // O_NONBLOCK so a FIFO in the way fails instead of waiting for a writer.
    constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    const char* name = p->partName_.c_str();
    p->part_.reset(::openat(dir, name, kFlags | O_CREAT | O_EXCL, 0644));
    p->created_ = p->undoCreate_ = static_cast<bool>(p->part_);
    if (!p->part_ && errno == EEXIST) p->part_.reset(::openat(dir, name, kFlags));
    struct stat info {};
    if (!p->part_ || ::fstat(p->part_.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return Opened::Failed;
    if (!lockWhole(p->part_.get()))
        return errno == EAGAIN || errno == EACCES ? Opened::Busy : Opened::Failed;
    ::fcntl(p->part_.get(), F_SETFL, ::fcntl(p->part_.get(), F_GETFL) & ~O_NONBLOCK);
    p->initialSize_ = info.st_size;
    out = std::move(p);
    return Opened::Ready;
}

PartFile::~PartFile() {
    if (undoCreate_ && part_) {
        part_.reset();
        ::unlinkat(dir_.get(), partName_.c_str(), 0);
    }
}

bool PartFile::hasMap() const {
    struct stat info {};
    return ::fstatat(dir_.get(), mapName_.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string PartFile::readMap(std::size_t limit) const {
    const UniqueFd map(
        ::openat(dir_.get(), mapName_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    if (!map || ::fstat(map.get(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
    std::string text;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(map.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue; // an interrupted read is not the end
        if (n < 0) return {};
        if (n == 0) return text;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > limit) return {};
    }
}

bool PartFile::write(int64_t at, const char* data, std::size_t length) {
    return writeAll(part_.get(), data, length, at);
}

int64_t PartFile::firstMismatch(int64_t at, const char* data, std::size_t length) {
    if (compareBuffer_.empty()) compareBuffer_.resize(kCompareBlock);
    std::size_t offset = 0;
    while (offset < length) {
        const std::size_t want = std::min(length - offset, compareBuffer_.size());
        const ssize_t got =
            ::pread(part_.get(), compareBuffer_.data(), want, at + static_cast<int64_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return at + static_cast<int64_t>(offset); // shorter than it claimed
        const auto n = static_cast<std::size_t>(got);
        const auto diff = std::mismatch(data + offset, data + offset + n, compareBuffer_.data());
        if (diff.first != data + offset + n) return at + static_cast<int64_t>(diff.first - data);
        offset += n;
    }
    return -1;
}

bool PartFile::truncate(int64_t size) {
    return ::ftruncate(part_.get(), size) == 0;
}

bool PartFile::saveMap(const std::string& text, bool durable) {
    if (!map_) {
        map_.reset(::openat(dir_.get(), mapName_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                            0644));
        struct stat info {};
        if (!map_ || ::fstat(map_.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
            map_.reset();
            return false;
        }
        mapLength_ = static_cast<std::size_t>(info.st_size);
    }
    if (!writeAll(map_.get(), text.data(), text.size(), 0)) return false;
    // A longer old text's tail is ignored by the reader, but cut it anyway.
    if (text.size() < mapLength_ && ::ftruncate(map_.get(), static_cast<off_t>(text.size())) != 0)
        return false;
    mapLength_ = text.size();
    return !durable || ::fdatasync(map_.get()) == 0;
}

bool PartFile::complete(int64_t size) {
    const int fd = part_.get();
    struct stat info {};
    if (::fstat(fd, &info) != 0) return false;
    // Left over from a longer file of the same name; only now, with every
    // byte of this one in place, is it safe to drop.
    if (info.st_size > size && ::ftruncate(fd, size) != 0) return false;
    if (::fdatasync(fd) != 0) return false;
    const int dir = dir_.get();
    map_.reset();
    // The map goes first: a .part without one is a prefix, and this one is whole.
    if (::unlinkat(dir, mapName_.c_str(), 0) != 0 && errno != ENOENT) return false;
    const char* part = partName_.c_str();
    const char* final = finalName_.c_str();
    if (::renameat2(dir, part, dir, final, RENAME_NOREPLACE) != 0) {
        // Without RENAME_NOREPLACE a link gives the same no-clobber promise.
        if ((errno != EINVAL && errno != ENOSYS) || ::linkat(dir, part, dir, final, 0) != 0 ||
            ::unlinkat(dir, part, 0) != 0)
            return false;
    }
    undoCreate_ = false;
    if (::fsync(dir) != 0) return false;
    return part_.close() == 0;
}

void PartFile::close(bool holdsNothing) {
    map_.reset();
    if (holdsNothing && created_) {
        struct stat info {};
        if (::fstat(part_.get(), &info) == 0 && info.st_size == 0) {
            ::unlinkat(dir_.get(), mapName_.c_str(), 0);
            ::unlinkat(dir_.get(), partName_.c_str(), 0);
        }
    }
    part_.reset();
}

} // namespace quarn::engine
