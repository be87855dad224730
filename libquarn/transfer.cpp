#include "transfer.h"

#include "tls.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <stdexcept>
#include <strings.h>
#include <unistd.h>

namespace quarn::engine {
namespace {

constexpr long kBufferSize = 512 * 1024; // large reads mean large writes
constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr auto kSampleEvery = std::chrono::milliseconds(100);
constexpr auto kSpeedWindow = std::chrono::seconds(2);

// Nothing received for this long ends the download as a server failure.
// QUARN_STALL_TIMEOUT_MS shortens it so a test need not wait half a minute.
std::chrono::steady_clock::duration stallTimeout() {
    if (const char* ms = std::getenv("QUARN_STALL_TIMEOUT_MS"); ms != nullptr) {
        char* end = nullptr;
        const long long value = std::strtoll(ms, &end, 10);
        if (end != ms && *end == '\0' && value > 0) return std::chrono::milliseconds(value);
    }
    return std::chrono::seconds(30);
}

// "bytes START-END/TOTAL" (TOTAL may be "*").
bool parseContentRange(std::string_view value, int64_t& start, int64_t& total) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    if (value.size() < 6 || strncasecmp(value.data(), "bytes ", 6) != 0) return false;
    value.remove_prefix(6);
    char* end = nullptr;
    const std::string text(value);
    start = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '-') return false;
    const char* slash = std::strchr(end, '/');
    if (slash == nullptr) return false;
    total = slash[1] == '*' ? -1 : std::strtoll(slash + 1, nullptr, 10);
    return true;
}

} // namespace

StatusSnapshot Transfer::initialStatus(int64_t resumeFrom, int64_t fileSize) {
    StatusSnapshot s;
    s.state = 0;
    s.speedKiB = 0;
    s.remainSec = -1;
    s.received = 0;
    s.fileBytes = resumeFrom;
    s.fileSize = fileSize;
    return s;
}

Transfer::Transfer(PreparedDownload job, int fd, int64_t resumeFrom, StatusBoard& board)
    : job_(std::move(job)), fd_(fd), resumeFrom_(resumeFrom), position_(resumeFrom), board_(board),
      snapshot_(initialStatus(resumeFrom, job_.fileSize)), stallTimeout_(stallTimeout()) {
    easy_ = curl_easy_init();
    multi_ = curl_multi_init();
    if (easy_ == nullptr || multi_ == nullptr) {
        if (easy_ != nullptr) curl_easy_cleanup(easy_);
        if (multi_ != nullptr) curl_multi_cleanup(multi_);
        throw std::runtime_error("curl unavailable");
    }
    curl_easy_setopt(easy_, CURLOPT_URL, job_.url.c_str());
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, 5L);
    // Credentials only ever go to the host they were given for.
    curl_easy_setopt(easy_, CURLOPT_UNRESTRICTED_AUTH, 0L);
    curl_easy_setopt(easy_, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kBufferSize);
    curl_easy_setopt(easy_, CURLOPT_USERAGENT, "libquarn/1.0.0");
    applyTlsSettings(easy_);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    if (!job_.userName.empty()) {
        curl_easy_setopt(easy_, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(easy_, CURLOPT_USERNAME, job_.userName.c_str());
        curl_easy_setopt(easy_, CURLOPT_PASSWORD, job_.userPwd.c_str());
    }
    if (!job_.index.empty()) headers_ = curl_slist_append(headers_, ("index: " + job_.index).c_str());
    curl_slist* withHash = curl_slist_append(headers_, ("hash: " + job_.hash).c_str());
    if (withHash == nullptr) {
        curl_slist_free_all(headers_);
        curl_easy_cleanup(easy_);
        curl_multi_cleanup(multi_);
        throw std::runtime_error("out of memory");
    }
    headers_ = withHash;
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
    if (resumeFrom_ > 0) {
        range_ = std::to_string(resumeFrom_) + "-";
        curl_easy_setopt(easy_, CURLOPT_RANGE, range_.c_str());
    }
}

Transfer::~Transfer() {
    if (thread_.joinable()) {
        requestStop();
        thread_.join();
    }
    if (fd_ >= 0) ::close(fd_);
    curl_multi_cleanup(multi_);
    curl_easy_cleanup(easy_);
    curl_slist_free_all(headers_);
}

void Transfer::launch() { thread_ = std::thread(&Transfer::run, this); }

void Transfer::requestStop() noexcept {
    stop_.store(true, std::memory_order_release);
    curl_multi_wakeup(multi_);
}

void Transfer::join() {
    if (thread_.joinable()) thread_.join();
}

std::size_t Transfer::onBody(char* data, std::size_t size, std::size_t count, void* self) {
    return static_cast<Transfer*>(self)->body(data, size * count);
}

std::size_t Transfer::onHeader(char* data, std::size_t size, std::size_t count, void* self) {
    static_cast<Transfer*>(self)->header(std::string_view(data, size * count));
    return size * count;
}

void Transfer::header(std::string_view line) {
    lastActivity_ = Clock::now();
    if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
        contentRangeStart_ = contentRangeTotal_ = -1;
        return;
    }
    constexpr std::string_view kName = "content-range:";
    if (line.size() > kName.size() && strncasecmp(line.data(), kName.data(), kName.size()) == 0) {
        int64_t start = -1, total = -1;
        if (parseContentRange(line.substr(kName.size()), start, total)) {
            contentRangeStart_ = start;
            contentRangeTotal_ = total;
        }
    }
}

// Decides at the first body byte whether this response is the file we asked
// for: anything else must never reach the .part file.
bool Transfer::acceptResponse() {
    long code = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
    if (code == 206) {
        if (resumeFrom_ == 0 || contentRangeStart_ != position_) return false;
        if (contentRangeTotal_ >= 0 && contentRangeTotal_ != job_.fileSize) return false;
    } else if (code == 200) {
        if (position_ > 0) {
            // The server ignored the Range: start the file over.
            if (::ftruncate(fd_, 0) != 0) {
                failure_ = Outcome::WriteError;
                return false;
            }
            position_ = 0;
        }
    } else {
        return false;
    }
    curl_off_t length = -1;
    curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    return length < 0 || position_ + length == job_.fileSize;
}

bool Transfer::writeAll(const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::pwrite(fd_, data, length, position_);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
        position_ += n;
    }
    return true;
}

std::size_t Transfer::body(const char* data, std::size_t length) {
    // Returning short makes curl abort with CURLE_WRITE_ERROR; failure_ says why.
    if (stop_.load(std::memory_order_acquire)) {
        failure_ = Outcome::Stopped;
        return 0;
    }
    if (!bodyStarted_) {
        if (!acceptResponse()) {
            if (failure_ == Outcome::Running) failure_ = Outcome::ServerError;
            return 0;
        }
        bodyStarted_ = true;
        snapshot_.state = 2;
    }
    if (position_ + static_cast<int64_t>(length) > job_.fileSize) {
        failure_ = Outcome::ServerError; // longer than requested
        return 0;
    }
    const int64_t before = position_;
    const bool ok = writeAll(data, length);
    received_ += position_ - before;
    const Clock::time_point now = Clock::now();
    lastActivity_ = now;
    sampleSpeed(now);
    snapshot_.received = received_;
    snapshot_.fileBytes = position_;
    board_.publish(snapshot_);
    if (!ok) {
        failure_ = Outcome::WriteError;
        return 0;
    }
    return length;
}

// Speed over the last ~2 s from samples at least 100 ms apart, so a burst or
// a pause shows up smoothly rather than as a spike.
void Transfer::sampleSpeed(Clock::time_point now) {
    if (!samples_.empty() && now - samples_.back().at < kSampleEvery) return;
    samples_.push_back({now, received_});
    while (samples_.size() > 1 && samples_[1].at <= now - kSpeedWindow) samples_.pop_front();
    const double seconds = std::chrono::duration<double>(now - samples_.front().at).count();
    if (seconds < 0.1) return;
    const double bytesPerSecond = static_cast<double>(received_ - samples_.front().received) / seconds;
    snapshot_.speedKiB = static_cast<int32_t>(std::min(bytesPerSecond / 1024.0, 2147483647.0));
    if (bytesPerSecond >= 1.0) {
        const double remain = std::ceil(static_cast<double>(job_.fileSize - position_) / bytesPerSecond);
        snapshot_.remainSec = static_cast<int32_t>(std::min(remain, 2147483647.0));
    } else {
        snapshot_.remainSec = -1;
    }
}

Transfer::Outcome Transfer::finishedTransfer(int curlResult) {
    if (curlResult != CURLE_OK) {
        if (failure_ != Outcome::Running) return failure_;
        return stop_.load(std::memory_order_acquire) ? Outcome::Stopped : Outcome::ServerError;
    }
    if (!bodyStarted_ && !acceptResponse()) return Outcome::ServerError;
    if (position_ != job_.fileSize) return Outcome::ServerError;
    return Outcome::Complete;
}

void Transfer::run() {
    lastActivity_ = Clock::now();
    snapshot_.state = 1;
    board_.publish(snapshot_);

    Outcome outcome = Outcome::Running;
    if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) outcome = Outcome::ServerError;
    while (outcome == Outcome::Running) {
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK) {
            outcome = Outcome::ServerError;
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued))
            if (message->msg == CURLMSG_DONE) outcome = finishedTransfer(message->data.result);
        if (outcome != Outcome::Running) break;
        if (stop_.load(std::memory_order_acquire)) {
            outcome = Outcome::Stopped;
            break;
        }
        const Clock::time_point now = Clock::now();
        if (now - lastActivity_ > stallTimeout_) {
            outcome = Outcome::ServerError;
            break;
        }
        if (bodyStarted_) {
            sampleSpeed(now);
            board_.publish(snapshot_);
        }
        curl_multi_poll(multi_, nullptr, 0, static_cast<int>(kPollInterval.count()), nullptr);
    }
    curl_multi_remove_handle(multi_, easy_);
    finish(outcome);
}

void Transfer::finish(Outcome outcome) {
    const int closed = ::close(fd_);
    fd_ = -1;
    if (outcome == Outcome::Complete) {
        if (closed != 0) {
            outcome = Outcome::WriteError;
        } else if (::renameat2(AT_FDCWD, job_.partPath.c_str(), AT_FDCWD, job_.finalPath.c_str(),
                               RENAME_NOREPLACE) != 0) {
            // Some file systems lack RENAME_NOREPLACE; the start already
            // checked that the final name was free.
            if ((errno != EINVAL && errno != ENOSYS) ||
                ::rename(job_.partPath.c_str(), job_.finalPath.c_str()) != 0)
                outcome = Outcome::WriteError;
        }
    }
    switch (outcome) {
    case Outcome::Complete: snapshot_.state = 3; break;
    case Outcome::Stopped: snapshot_.state = 4; break;
    case Outcome::WriteError: snapshot_.state = 5; break;
    default: snapshot_.state = 6; break;
    }
    snapshot_.speedKiB = 0;
    snapshot_.remainSec = outcome == Outcome::Complete ? 0 : -1;
    snapshot_.received = received_;
    snapshot_.fileBytes = position_;
    board_.publish(snapshot_);
    finished_.store(true, std::memory_order_release);
}

} // namespace quarn::engine
