#include "engine.h"

#include "paths.h"
#include "transfer.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace quarn::engine {
namespace {

constexpr int kFileExists = -1;
constexpr int kParameter = -2;
constexpr int kFileCreate = -3;
constexpr int kDiskFull = -4;
constexpr int kDirectory = -5;
constexpr int kOperation = -6;

// The .part file as opened for a start; closes (and removes what it created)
// unless handed over.
class PartFile {
public:
    explicit PartFile(const std::string& path) : path_(path) {
        struct stat before {};
        const bool existed = ::lstat(path.c_str(), &before) == 0;
        // O_NONBLOCK so a FIFO in the way fails instead of waiting for a reader.
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
        if (fd_ < 0) return;
        created_ = !existed;
        struct stat info {};
        if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
            discard();
            return;
        }
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        size_ = info.st_size;
    }
    ~PartFile() { discard(); }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    int64_t size() const { return size_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    void discard() {
        if (fd_ < 0) return;
        ::close(fd_);
        fd_ = -1;
        if (created_) ::unlink(path_.c_str());
    }

    std::string path_;
    int fd_ = -1;
    bool created_ = false;
    int64_t size_ = 0;
};

} // namespace

Engine::Engine() { curl_global_init(CURL_GLOBAL_DEFAULT); }

// curl_global_cleanup is left out on purpose: the host process may use
// libcurl itself, and the engine lives until the process ends.
Engine::~Engine() { stop(); }

int Engine::start(const DownloadRequest& request) {
    const std::optional<PreparedDownload> prepared = prepareDownload(request);
    if (!prepared) return kParameter;

    std::lock_guard lock(control_);
    struct stat info {};
    if (::lstat(prepared->finalPath.c_str(), &info) == 0) return kFileExists;

    const std::string directory = parentDirectory(prepared->finalPath);
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error || !std::filesystem::is_directory(directory, error)) return kDirectory;

    PartFile part(prepared->partPath);
    if (!part.ok()) return kFileCreate;
    // A .part at or beyond the full size cannot be resumed by a Range request
    // (the server would answer 416); fetch the whole file again.
    const int64_t resumeFrom = part.size() < prepared->fileSize ? part.size() : 0;

    struct statvfs disk {};
    if (::statvfs(directory.c_str(), &disk) == 0) {
        const auto freeBytes = static_cast<unsigned long long>(disk.f_bavail) * disk.f_frsize;
        if (freeBytes < static_cast<unsigned long long>(prepared->fileSize - resumeFrom))
            return kDiskFull;
    }

    if (current_ && !current_->finished()) return kOperation;
    if (current_) {
        current_->join();
        current_.reset();
    }
    if (resumeFrom == 0 && part.size() > 0 && ::ftruncate(part.fd(), 0) != 0) return kFileCreate;

    const StatusSnapshot previous = board_.read();
    try {
        auto transfer = std::make_unique<Transfer>(*prepared, part.fd(), resumeFrom, board_);
        part.release(); // the transfer closes it from now on
        board_.publish(Transfer::initialStatus(resumeFrom, prepared->fileSize));
        transfer->launch();
        current_ = std::move(transfer);
    } catch (...) {
        board_.publish(previous);
        return kOperation;
    }
    return 0;
}

void Engine::stop() {
    std::lock_guard lock(control_);
    if (!current_) return;
    current_->requestStop();
    current_->join();
    current_.reset();
}

} // namespace quarn::engine
