#include "tests/engine/engine_test_env.h"

#include <cstdlib>
#include <fstream>
#include <json/json.h>
#include <random>
#include <sstream>

namespace quarn::test {

std::u16string u16(const std::string& utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        char32_t cp = c;
        int extra = 0;
        if (c >= 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else if (c >= 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if (c >= 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        }
        for (int k = 1; k <= extra && i + k < utf8.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += 1 + extra;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string jsonEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

std::string sampleBytes(std::size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
    return bytes;
}

void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int32_t Download::start() const {
    return startDownload(u16(site).c_str(), u16(server).c_str(), u16(serverFileName).c_str(),
                         u16(index).c_str(), u16(localFileName).c_str(), u16(hash).c_str(),
                         fileSize, u16(userName).c_str(), u16(userPwd).c_str(),
                         u16(userParams).c_str());
}

std::string Download::json() const {
    const auto member = [](const char* name, const std::string& value) {
        return std::string("   \"") + name + "\" : \"" + jsonEscape(value) + "\",\n";
    };
    std::string text = "{\n" + member("filesize", std::to_string(fileSize)) + member("hash", hash) +
                       member("index", index) + member("localfilename", localFileName) +
                       member("server", server) + member("serverfilename", serverFileName) +
                       member("site", site) + member("user_name", userName) +
                       member("user_params", userParams);
    return text + "   \"user_pwd\" : \"" + jsonEscape(userPwd) + "\"\n}\n";
}

int32_t Download::startJson() const {
    const char16_t* reply = startDownloadJson(u16(json()).c_str());
    std::string ascii;
    for (const char16_t* p = reply; *p != 0; ++p) ascii += static_cast<char>(*p);
    Json::Value root;
    std::istringstream in(ascii);
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

void EngineTest::SetUp() {
    std::string pattern = (fs::temp_directory_path() / "quarn-engine-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    tmp_ = pattern;
    fs::create_directories(driveRoot());
    fs::create_directories(tmp_ / "www");
    ::setenv("QUARN_DRIVE_ROOT", driveRoot().c_str(), 1);
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
    };
    nginx_.start(options);
}

void EngineTest::TearDown() {
    stopDownload();
    nginx_.stop();
    std::error_code ignored;
    fs::remove_all(tmp_, ignored);
}

fs::path EngineTest::mapped(const std::string& windowsPath) const {
    fs::path path = driveRoot() / std::string(1, static_cast<char>(windowsPath[0] | 0x20));
    std::string rest = windowsPath.substr(3);
    for (char& c : rest)
        if (c == '\\') c = '/';
    return path / rest;
}

std::string EngineTest::serve(const std::string& site, const std::string& name, std::size_t size) {
    std::string bytes = sampleBytes(size, static_cast<uint32_t>(size));
    writeFile(tmp_ / "www" / site / name, bytes);
    return bytes;
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
