#include "tests/engine/share_fixture.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <unistd.h>

namespace quarn::test {
namespace {

// Every engine_tests process: whatever test registers first starts the
// share server, and none of them may take the fixed default port.
const bool g_noDefaultSharePort = [] {
    ::setenv("QUARN_SHARE_LISTEN", "127.0.0.1:0", 0);
    return true;
}();

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

void shareSetting(const char* name, const std::string& value) {
    stopDownload();
    ::setenv(name, value.c_str(), 1);
}

uint16_t sharePort() {
    static const uint16_t port = [] {
        const uint16_t p = freeLoopbackPort();
        shareSetting("QUARN_SHARE_LISTEN", "127.0.0.1:" + std::to_string(p));
        return p;
    }();
    return port;
}

std::string hashFor(int n) {
    char text[40];
    std::snprintf(text, sizeof text, "%032x", n + 0xabc000);
    return text;
}

int openDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

fs::path pseudoFile() {
    for (const char* candidate :
         {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/uevent_seqnum",
          "/sys/kernel/profiling", "/sys/kernel/warn_count", "/sys/power/state"}) {
        std::error_code ec;
        const fs::path path(candidate);
        if (fs::is_regular_file(fs::symlink_status(path, ec)) && fs::file_size(path, ec) == 4096 &&
            fs::canonical(path, ec) == path && ::access(candidate, R_OK) == 0)
            return path;
    }
    return {};
}

std::string Reply::header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

Answers readAnswers(const std::string& bytes, const std::vector<bool>& heads) {
    Answers out;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t end = bytes.find("\r\n\r\n", at);
        if (end == std::string::npos) {
            out.complete = false;
            break;
        }
        Reply reply;
        std::istringstream lines(bytes.substr(at, end - at));
        std::string line;
        std::getline(lines, line);
        if (line.rfind("HTTP/1.", 0) != 0) {
            out.complete = false;
            break;
        }
        reply.status = std::atoi(line.c_str() + line.find(' ') + 1);
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            reply.headers[lower(line.substr(0, colon))] =
                line.substr(line.find_first_not_of(' ', colon + 1));
        }
        at = end + 4;
        const bool head = out.replies.size() < heads.size() && heads[out.replies.size()];
        const std::size_t length =
            head ? 0 : static_cast<std::size_t>(std::atoll(reply.header("content-length").c_str()));
        if (bytes.size() - at < length) {
            reply.body = bytes.substr(at);
            out.replies.push_back(std::move(reply));
            out.complete = false;
            break;
        }
        reply.body = bytes.substr(at, length);
        at += length;
        out.replies.push_back(std::move(reply));
    }
    return out;
}

void ShareServerTest::SetUp() {
    EngineTest::SetUp();
    ASSERT_TRUE(OnPath("curl")) << "curl is not installed (scripts/install-deps.sh)";
}

std::string ShareServerTest::base(uint16_t port) const {
    return "http://127.0.0.1:" + std::to_string(port != 0 ? port : sharePort());
}

std::string ShareServerTest::target(const std::string& site, const std::string& hash) {
    return "/" + site + "/" + hash;
}

void ShareServerTest::share(const std::string& hash, const std::string& windowsPath,
                            const std::string& bytes) {
    sharePort();
    writeFile(mapped(windowsPath), bytes);
    ASSERT_NE(setShareFile2(u16(kSite).c_str(), u16(hash).c_str(), u16(windowsPath).c_str(),
                            static_cast<int64_t>(bytes.size())),
              0);
}

Reply ShareServerTest::fetch(const std::string& path, const std::vector<std::string>& extra,
                             uint16_t port) {
    const fs::path headers = tmp_ / "reply.headers", body = tmp_ / "reply.body";
    fs::remove(headers);
    fs::remove(body);
    std::vector<std::string> args = {"curl",           "-s", "--path-as-is", "-D",
                                     headers.string(), "-o", body.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(base(port) + path);
    Child curl(args, {}, (tmp_ / "curl.out").string());
    EXPECT_EQ(curl.SpawnError(), 0);
    curl.Wait();
    Reply reply;
    std::istringstream lines(readFile(headers));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("HTTP/", 0) == 0) {
            reply.status = std::atoi(line.c_str() + line.find(' ') + 1);
            reply.headers.clear();
        } else if (const auto colon = line.find(':'); colon != std::string::npos) {
            reply.headers[lower(line.substr(0, colon))] =
                line.substr(line.find_first_not_of(' ', colon + 1));
        }
    }
    reply.body = readFile(body);
    return reply;
}

} // namespace quarn::test
