// quarn share: registers one file with the engine and keeps the process,
// and so the engine's share server, alive until Ctrl-C or SIGTERM.
//
// Whether the engine listens, and where, is the engine's to say: the
// address goes to it as QUARN_SHARE_LISTEN, and after the registration the
// command asks that address for the file. Only an answer with the file's
// length and the engine's tag for it ("{hash}") is the engine serving it.
#include "cli/commands.h"

#include <quarn/quarn.h>

#include <curl/curl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn::cli {
namespace {

// Long enough for a loaded machine; the server is up when the registration returns.
constexpr long kProbeTimeoutMs = 3000;

bool isOff(const std::string& listen) {
    return listen == "off" || listen == "OFF" || listen == "Off";
}

// The host of "host:port" or "[v6]:port", without brackets.
std::string hostOf(const std::string& listen) {
    std::string host = listen.substr(0, listen.rfind(':'));
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return host;
}

// The probe goes only where this machine listens: an address literal or
// localhost, never a name resolved elsewhere.
bool isLocalLiteral(const std::string& host) {
    if (host == "localhost") return true;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
    ::freeaddrinfo(found);
    return true;
}

std::string peerHost(const std::string& listen) {
    const std::string host = hostOf(listen);
    if (host != "0.0.0.0" && host != "::") return listen.substr(0, listen.rfind(':'));
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return name;
    return listen.substr(0, listen.rfind(':'));
}

struct CurlFree {
    void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};

std::size_t keepEtag(char* data, std::size_t size, std::size_t count, void* out) {
    const std::string_view line(data, size * count);
    constexpr std::string_view kName = "etag:";
    if (line.size() > kName.size()) {
        std::string name(line.substr(0, kName.size()));
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name == kName) {
            std::string_view value = line.substr(kName.size());
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
                value.remove_prefix(1);
            while (!value.empty() &&
                   (value.back() == '\r' || value.back() == '\n' || value.back() == ' '))
                value.remove_suffix(1);
            *static_cast<std::string*>(out) = std::string(value);
        }
    }
    return size * count;
}

// Empty when `url` is the engine serving the file; else why not.
std::string probe(const std::string& url, long long size, const std::string& hash) {
    const std::unique_ptr<CURL, CurlFree> easy(curl_easy_init());
    if (!easy) return "libcurl could not start";
    std::string etag;
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_NOBODY, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, kProbeTimeoutMs);
    curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(easy.get(), CURLOPT_HEADERFUNCTION, &keepEtag);
    curl_easy_setopt(easy.get(), CURLOPT_HEADERDATA, &etag);
    if (curl_easy_perform(easy.get()) != CURLE_OK)
        return error[0] != '\0' ? std::string(error) : "no answer";
    long status = 0;
    curl_off_t length = -1;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (status != 200 || length != size || etag != "\"" + hash + "\"")
        return "something else answers there (HTTP " + std::to_string(status) + ")";
    return {};
}

} // namespace

int runShare(const std::vector<std::string>& args) {
    const Options o(args, {"--site", "--hash", "--listen"}, {});
    if (o.positional().empty()) throw UsageError{"FILE is required"};
    if (o.positional().size() > 1) throw UsageError{"one FILE only, not " + o.positional()[1]};
    const std::string site = o.required("--site");
    std::string hash = o.required("--hash");
    if (!isHexDigest(hash)) throw UsageError{"--hash must be 32 hexadecimal digits"};
    for (char& c : hash) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::optional<std::string> listenOption = o.value("--listen");
    std::string listen = QUARN_SHARE_LISTEN_DEFAULT;
    if (listenOption) {
        listen = *listenOption;
    } else if (const char* env = std::getenv("QUARN_SHARE_LISTEN");
               env != nullptr && env[0] != '\0') {
        listen = env;
    }
    if (isOff(listen)) {
        std::fprintf(stderr, "quarn share: sharing is off (%s=%s)\n",
                     listenOption ? "--listen" : "QUARN_SHARE_LISTEN", listen.c_str());
        return kStartFailed;
    }
    const std::u16string wSite = utf16Argument("--site", site),
                         wHash = utf16Argument("--hash", hash);

    // Opened and read here, so that a file the engine could not serve is
    // named with the reason.
    const std::string& given = o.positional().front();
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::absolute(given, ec).lexically_normal();
    const int fd = ec ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        std::fprintf(stderr, "quarn share: cannot open %s: %s\n", given.c_str(),
                     std::strerror(ec ? ec.value() : errno));
        return kStartFailed;
    }
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
    int readError = 0;
    char first = 0;
    errno = 0;
    if (regular && ::pread(fd, &first, 1, 0) != 1) readError = errno != 0 ? errno : EIO;
    ::close(fd);
    if (!regular) {
        std::fprintf(stderr, "quarn share: %s is not a regular file with data\n", given.c_str());
        return kStartFailed;
    }
    if (readError != 0) {
        std::fprintf(stderr, "quarn share: cannot read %s: %s\n", given.c_str(),
                     std::strerror(readError));
        return kStartFailed;
    }
    const std::u16string wPath = utf16Argument("FILE", path.string());

    // Before the first engine call, and before any thread: the engine reads
    // the address when its server starts, libcurl sets itself up once.
    if (listenOption) ::setenv("QUARN_SHARE_LISTEN", listen.c_str(), 1);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const sigset_t stopSignals = blockStopSignals();
    if (setShareFile2(wSite.c_str(), wHash.c_str(), wPath.c_str(), info.st_size) == 0) {
        std::fprintf(stderr,
                     "quarn share: the engine did not register %s (not a file on a real file "
                     "system, or it changed meanwhile)\n",
                     given.c_str());
        return kStartFailed;
    }
    const std::string url = "http://" + listen + "/" + percentEncode(site) + "/" + hash;
    const std::string why = isLocalLiteral(hostOf(listen))
                                ? probe(url, static_cast<long long>(info.st_size), hash)
                                : "not an address of this machine";
    if (!why.empty()) {
        std::fprintf(stderr, "quarn share: the engine is not sharing %s on %s: %s\n", given.c_str(),
                     listen.c_str(), why.c_str());
        return kStartFailed;
    }

    const std::string authority = peerHost(listen) + listen.substr(listen.rfind(':'));
    std::printf("sharing %s (%lld bytes)\n", path.c_str(), static_cast<long long>(info.st_size));
    std::printf("url: http://%s/%s/%s\n", authority.c_str(), percentEncode(site).c_str(),
                hash.c_str());
    std::printf(
        "peers fetch it with: quarn get --server %s --site '%s' --hash %s --size %lld --out PATH\n",
        authority.c_str(), site.c_str(), hash.c_str(), static_cast<long long>(info.st_size));
    std::printf("Ctrl-C stops sharing\n");
    std::fflush(stdout);

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    std::printf("stopped sharing\n");
    return kComplete;
}

} // namespace quarn::cli
