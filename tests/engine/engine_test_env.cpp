#include "tests/engine/engine_test_env.h"

#include "tests/support/console_texts.h"

#include <csignal>
#include <cstdlib>
#include <json/json.h>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace quarn::test {

namespace {

// Set during static initialisation, before any engine thread can exist: the
// share server's threads, once started, run until the process ends, so the
// root is never changed afterwards, only emptied.
struct ProcessDriveRoot {
    TempDir dir{"quarn-drives"};
    ProcessDriveRoot() { ::setenv("QUARN_DRIVE_ROOT", dir.path().c_str(), 1); }
};

const ProcessDriveRoot& processDriveRoot() {
    static const ProcessDriveRoot root;
    return root;
}

[[maybe_unused]] const bool g_driveRootSet = (processDriveRoot(), true);

} // namespace

std::string sampleBytes(std::size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
    return bytes;
}

std::u16string errReply(int32_t code) {
    return u16("{\"err\":" + std::to_string(code) + "}");
}

int32_t Download::start() const {
    return startDownload(u16(site).c_str(), u16(server).c_str(), u16(serverFileName).c_str(),
                         u16(index).c_str(), u16(localFileName).c_str(), u16(hash).c_str(),
                         fileSize, u16(userName).c_str(), u16(userPwd).c_str(),
                         u16(userParams).c_str());
}

std::string Download::json() const {
    return requestText({site, server, serverFileName, index, localFileName, hash,
                        std::to_string(fileSize), userName, userPwd, userParams});
}

std::string Download::logged() const {
    return "user=\"" + userName + "\" index=\"" + index + "\" hash=\"" + hash + "\"";
}

int32_t Download::startJson() const {
    Json::Value root;
    std::istringstream in(utf8(startDownloadJson(u16(json()).c_str())));
    in >> root;
    return root["err"].asInt();
}

Status poll() {
    Status s;
    s.state = getDownloadState(&s.speed, &s.remain, &s.received, &s.fileBytes);
    return s;
}

int32_t waitForEnd(std::chrono::milliseconds deadline) {
    int32_t state = -1;
    waitFor(
        [&] {
            state = getDownloadState(nullptr, nullptr, nullptr, nullptr);
            return state >= QUARN_STATE_COMPLETE;
        },
        deadline);
    return state >= QUARN_STATE_COMPLETE ? state : -1;
}

bool killDownloadWhen(const Download& d, const std::function<bool()>& until,
                      std::chrono::milliseconds deadline) {
    stopDownload();
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        if (d.start() != 0) ::_exit(1);
        for (;;) ::pause(); // killed mid-transfer
    }
    const bool held = waitFor(until, deadline);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return held;
}

fs::path EngineTest::driveRoot() {
    return processDriveRoot().dir.path();
}

void EngineTest::SetUp() {
    // What an earlier test left goes; nothing of it may still be writing.
    stopDownload();
    for (const auto& entry : fs::directory_iterator(driveRoot())) fs::remove_all(entry.path());
    tmp_ = makeTempDir("quarn-engine");
    fs::create_directories(tmp_ / "www");
    NginxOptions options;
    options.root = tmp_ / "www";
    options.locations = {
        {"/test_site/", kUser, kPassword, 0, false, ""},
        {"/slow_site/", "", "", kMiB, false, ""},
        {"/norange_site/", "", "", kMiB, true, ""},
        {"/redirect_site/", "", "", 0, false,
         "return 302 http://localhost:$server_port/test_site/sample.bin;"},
        {"/moved_site/", "", "", 0, false, "return 302 /test_site/sample.bin;"},
        {"/open_site/", "", "", 0, false, ""},
        {"/capped_site/", "", "", 4 * kMiB, false, ""},
        {"/whole_site/", "", "", 0, true, ""},
        // A request from the file's first byte crawls, any other flies: the
        // connection on the first piece falls behind and the others take over.
        {"/steal_site/", "", "", 0, false,
         "set $quarn_rate 0; if ($http_range ~ \"^bytes=0-\") { set $quarn_rate 1048576; } "
         "limit_rate $quarn_rate;"},
        {"/redirect_open_site/", "", "", 0, false,
         "return 302 http://localhost:$server_port/open_site/sample.bin;"},
        // Two connections per client, as many servers allow; the rest get 503.
        {"/limited_site/", "", "", 4 * kMiB, false, "limit_conn perip 2;"},
        {"/forbidden_site/", "", "", 0, false, "return 403;"},
    };
    options.httpExtra = "limit_conn_zone $binary_remote_addr zone=perip:1m;";
    nginx_.start(options);
}

void EngineTest::TearDown() {
    stopDownload();
    nginx_.stop();
    std::error_code ignored;
    fs::remove_all(tmp_, ignored);
}

fs::path EngineTest::mapped(const std::string& windowsPath) const {
    return drivePath(driveRoot(), windowsPath);
}

std::string EngineTest::serve(const std::string& site, const std::string& name, std::size_t size) {
    std::string bytes = sampleBytes(size, static_cast<uint32_t>(size));
    writeFile(tmp_ / "www" / site / name, bytes);
    return bytes;
}

engine::MetalinkFile EngineTest::publishDocument(const std::string& site, const std::string& name,
                                                 const std::string& bytes, int64_t pieceLength) {
    engine::MetalinkFile doc;
    doc.name = name;
    doc.size = static_cast<int64_t>(bytes.size());
    doc.sha256 = engine::sha256(bytes);
    doc.pieceLength = pieceLength;
    for (std::size_t at = 0; at < bytes.size(); at += static_cast<std::size_t>(pieceLength))
        doc.pieces.push_back(engine::sha256(
            std::string_view(bytes).substr(at, static_cast<std::size_t>(pieceLength))));
    writeFile(tmp_ / "www" / site / (name + ".meta4"), engine::writeMetalink(doc));
    return doc;
}

Download EngineTest::request(const std::string& site, const std::string& name, int64_t size) const {
    Download d;
    d.site = site;
    d.server = nginx_.endpoint();
    d.serverFileName = name;
    d.fileSize = size;
    return d;
}

} // namespace quarn::test
