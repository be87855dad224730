// quarn get: one download through the engine, followed on the terminal.
#include "cli/commands.h"

#include "cli/utf16.h"

#include <quarn/quarn.h>

#include <json/json.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

namespace quarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct Poll {
    int32_t state = QUARN_STATE_PREPARING;
    int32_t speedKiB = 0;
    int32_t remainSec = -1;
    int64_t received = 0;
    int64_t fileBytes = 0;
};

Poll pollPlain() {
    Poll p;
    p.state = getDownloadState(&p.speedKiB, &p.remainSec, &p.received, &p.fileBytes);
    return p;
}

// The engine's JSON texts are ASCII.
Json::Value parseEngineJson(const char16_t* text) {
    std::string ascii;
    for (; text != nullptr && *text != 0; ++text)
        ascii += static_cast<char>(*text < 0x80 ? *text : '?');
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(ascii.data(), ascii.data() + ascii.size(), &root, &errors) ||
        !root.isObject())
        return Json::Value(Json::objectValue);
    return root;
}

// The integer member `key`, or `fallback` when it is missing.
long long jsonInteger(const Json::Value& root, const char* key, long long fallback) {
    const Json::Value& value = root[key];
    return value.isInt64() ? value.asInt64() : fallback;
}

Poll pollJson() {
    const Json::Value json = parseEngineJson(getDownloadStateJson());
    Poll p;
    p.state = static_cast<int32_t>(jsonInteger(json, "state", QUARN_STATE_SERVER_ERROR));
    p.speedKiB = static_cast<int32_t>(jsonInteger(json, "speed", 0));
    p.remainSec = static_cast<int32_t>(jsonInteger(json, "remain_time", -1));
    p.received = jsonInteger(json, "receive_size", 0);
    p.fileBytes = jsonInteger(json, "current_file_size", 0);
    return p;
}

std::string bytesText(long long bytes) {
    static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string speedText(int32_t kib) {
    char text[32];
    if (kib < 1024)
        std::snprintf(text, sizeof text, "%d KiB/s", kib);
    else
        std::snprintf(text, sizeof text, "%.1f MiB/s", kib / 1024.0);
    return text;
}

std::string remainText(int32_t seconds) {
    if (seconds < 0) return "--:--";
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%d:%02d:%02d", seconds / 3600, seconds / 60 % 60,
                      seconds % 60);
    else
        std::snprintf(text, sizeof text, "%d:%02d", seconds / 60, seconds % 60);
    return text;
}

const char* stateText(int32_t state) {
    switch (state) {
    case QUARN_STATE_PREPARING: return "preparing";
    case QUARN_STATE_CONNECTING: return "connecting";
    case QUARN_STATE_RECEIVING: return "receiving";
    case QUARN_STATE_COMPLETE: return "complete";
    case QUARN_STATE_STOPPED: return "stopped";
    case QUARN_STATE_WRITE_ERROR: return "write error";
    case QUARN_STATE_SERVER_ERROR: return "server error";
    default: return "unknown";
    }
}

// One line: redrawn in place on a terminal; piped, a new line whenever the
// state or the whole percent changes, or every ten seconds.
class ProgressLine {
public:
    ProgressLine(bool terminal, long long size) : terminal_(terminal), size_(size) {}

    void show(const Poll& p) {
        const double percent =
            100.0 * static_cast<double>(p.fileBytes) / static_cast<double>(size_);
        char text[160];
        std::snprintf(text, sizeof text, "%5.1f%%  %10s  %8s left  %s / %s  %s", percent,
                      speedText(p.speedKiB).c_str(), remainText(p.remainSec).c_str(),
                      bytesText(p.fileBytes).c_str(), bytesText(size_).c_str(), stateText(p.state));
        if (terminal_) {
            std::printf("\r%s\x1b[K", text);
            drawn_ = true;
        } else {
            const int whole = static_cast<int>(percent);
            const auto now = Clock::now();
            if (p.state == lastState_ && whole == lastPercent_ &&
                now - lastLine_ < std::chrono::seconds(10))
                return;
            std::printf("%s\n", text);
            lastState_ = p.state;
            lastPercent_ = whole;
            lastLine_ = now;
        }
        std::fflush(stdout);
    }

    void finish() {
        if (terminal_ && drawn_) std::printf("\n");
        std::fflush(stdout);
    }

private:
    bool terminal_;
    long long size_;
    bool drawn_ = false;
    int32_t lastState_ = -1;
    int lastPercent_ = -1;
    Clock::time_point lastLine_{};
};

const char* startErrorText(int32_t code) {
    switch (code) {
    case QUARN_ERR_FILE_EXISTS: return "the file already exists";
    case QUARN_ERR_PARAMETER:
        return "the engine refused a parameter (server, site, file, hash, size or --out)";
    case QUARN_ERR_FILE_CREATE: return "cannot create the .part file";
    case QUARN_ERR_DISK_FULL: return "not enough free space for the bytes still to fetch";
    case QUARN_ERR_DIRECTORY: return "cannot create the file's directory";
    case QUARN_ERR_OPERATION: return "a download is already running or the engine cannot start one";
    default: return "the engine refused the start";
    }
}

bool isDrivePath(const std::string& path) {
    return path.size() >= 3 &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
           path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

// A relative --out is taken from the working directory, as a shell would:
// "." goes, and a leading ".." climbs from the working directory, which
// getcwd gives without links. A ".." after a name is left for the engine
// to refuse, since the name may be a link.
std::optional<std::string> resolveOut(const std::string& out) {
    if (out.empty() || out[0] == '/' || isDrivePath(out)) return out;
    std::error_code error;
    std::filesystem::path path = std::filesystem::current_path(error);
    if (error) return std::nullopt;
    bool leading = true;
    for (const std::filesystem::path& part : std::filesystem::path(out)) {
        if (part.empty() || part == ".") continue;
        if (part == ".." && leading) {
            path = path.parent_path();
            continue;
        }
        leading = false;
        path /= part;
    }
    return path.string();
}

// The problem with an option's value, if any.
using Check = std::optional<std::string> (*)(const std::string& value);

std::optional<std::string> utf8Problem(const char* name, const std::string& value) {
    if (!utf16::fromUtf8(value)) return std::string(name) + " is not valid UTF-8";
    return std::nullopt;
}

std::optional<std::string> nonEmptyUtf8(const char* name, const std::string& value) {
    if (value.empty()) return std::string(name) + " must not be empty";
    return utf8Problem(name, value);
}

struct OptionRule {
    const char* name;
    bool required;
    Check check;
};

// get's options, in the order the help lists them; a missing required one
// is reported in this order, after everything written.
constexpr OptionRule kGetOptions[] = {
    {"--server", true,
     [](const std::string& v) -> std::optional<std::string> {
         if (const auto problem = nonEmptyUtf8("--server", v)) return problem;
         if (!hasPort(v))
             return "--server must be HOST:PORT with a port of 1 to 65535, e.g. 127.0.0.1:28080";
         return std::nullopt;
     }},
    {"--site", true, [](const std::string& v) { return nonEmptyUtf8("--site", v); }},
    {"--hash", true,
     [](const std::string& v) -> std::optional<std::string> {
         if (!isHexDigest(v)) return "--hash must be 32 hexadecimal digits (0-9, a-f or A-F)";
         return std::nullopt;
     }},
    {"--size", true,
     [](const std::string& v) -> std::optional<std::string> {
         if (!parsePositive(v)) return "--size must be a positive number of bytes";
         return std::nullopt;
     }},
    {"--out", true, [](const std::string& v) { return nonEmptyUtf8("--out", v); }},
    {"--file", false, [](const std::string& v) { return nonEmptyUtf8("--file", v); }},
    {"--user", false, [](const std::string& v) { return utf8Problem("--user", v); }},
    {"--password", false, [](const std::string& v) { return utf8Problem("--password", v); }},
};

// Every argument error of a get, in the order written; nothing is created
// before they are all known.
void checkGetArguments(const Options& o) {
    std::vector<ArgumentError> errors = o.errors();
    for (std::size_t i = 0; i < o.positional().size(); ++i)
        errors.push_back({o.positionalAt(i), "unexpected argument " + o.positional()[i]});
    std::size_t missing = 0;
    for (const OptionRule& rule : kGetOptions) {
        const std::optional<std::string> value = o.value(rule.name);
        if (!value) {
            if (rule.required)
                errors.push_back(
                    {o.position(rule.name) + ++missing, std::string(rule.name) + " is required"});
            continue;
        }
        if (const auto problem = rule.check(*value))
            errors.push_back({o.position(rule.name), *problem});
    }
    if (o.value("--password").value_or("").size() > 0 && o.value("--user").value_or("").empty())
        errors.push_back({o.position("--password"), "--password needs --user"});
    if (!errors.empty()) reportArgumentErrors(std::move(errors));
}

// Why the download failed, in the engine's words; empty from an engine that
// does not say.
std::string failureCause() {
    const Json::Value cause = parseEngineJson(getDownloadStateJson())["cause"];
    return cause.isString() ? cause.asString() : std::string();
}

int finalStatus(int32_t state, const std::string& out, long long size) {
    switch (state) {
    case QUARN_STATE_COMPLETE:
        std::printf("complete: %lld bytes in %s\n", size, out.c_str());
        return kComplete;
    case QUARN_STATE_STOPPED:
        std::fprintf(stderr, "quarn get: stopped; %s.part is kept, the same command resumes it\n",
                     out.c_str());
        return kStopped;
    case QUARN_STATE_WRITE_ERROR: {
        const std::string cause = failureCause();
        if (cause.empty())
            std::fprintf(stderr,
                         "quarn get: cannot write %s (disk full, I/O error or rename failed)\n",
                         out.c_str());
        else
            std::fprintf(stderr, "quarn get: cannot write %s: %s\n", out.c_str(), cause.c_str());
        return kWriteError;
    }
    default: {
        const std::string cause = failureCause();
        if (cause.empty())
            std::fprintf(stderr, "quarn get: the transfer failed (server unreachable, HTTP error, "
                                 "stalled, or not the size asked for)\n");
        else
            std::fprintf(stderr, "quarn get: the transfer failed: %s\n", cause.c_str());
        return kServerError;
    }
    }
}

} // namespace

int runGet(const std::vector<std::string>& args) {
    const Options o = Options::gather(
        args, {"--server", "--site", "--hash", "--file", "--size", "--out", "--user", "--password"},
        {"--json"});
    checkGetArguments(o);
    const std::string server = *o.value("--server");
    const std::string site = *o.value("--site");
    const std::string hash = *o.value("--hash");
    const std::string file = o.value("--file").value_or(hash);
    const long long size = *parsePositive(*o.value("--size"));
    const std::optional<std::string> resolved = resolveOut(*o.value("--out"));
    if (!resolved) throw UsageError{"--out is relative, and the working directory is gone"};
    const std::string& out = *resolved;
    const std::string user = o.value("--user").value_or("");
    const std::string password = o.value("--password").value_or("");
    const bool json = o.flag("--json");

    const std::u16string wServer = utf16Argument("--server", server),
                         wSite = utf16Argument("--site", site),
                         wHash = utf16Argument("--hash", hash),
                         wFile = utf16Argument("--file", file), wOut = utf16Argument("--out", out),
                         wUser = utf16Argument("--user", user),
                         wPassword = utf16Argument("--password", password);

    const sigset_t stopSignals = blockStopSignals();
    int32_t err = 0;
    if (json) {
        Json::Value request(Json::objectValue);
        request["site"] = site;
        request["server"] = server;
        request["serverfilename"] = file;
        request["index"] = "";
        request["localfilename"] = out;
        request["hash"] = hash;
        request["filesize"] = std::to_string(size); // the engine takes it as a string
        request["user_name"] = user;
        request["user_pwd"] = password;
        request["user_params"] = "";
        Json::StreamWriterBuilder writer;
        writer["indentation"] = "";
        const std::u16string text = utf16Argument("request", Json::writeString(writer, request));
        const Json::Value reply = parseEngineJson(startDownloadJson(text.c_str()));
        err = static_cast<int32_t>(jsonInteger(reply, "err", QUARN_ERR_OPERATION));
    } else {
        err = startDownload(wSite.c_str(), wServer.c_str(), wFile.c_str(), u"", wOut.c_str(),
                            wHash.c_str(), size, wUser.c_str(), wPassword.c_str(), u"");
    }
    if (err != 0) {
        std::fprintf(stderr, "quarn get: %s (start error %" PRId32 ")\n", startErrorText(err), err);
        return kStartFailed;
    }

    ProgressLine line(::isatty(STDOUT_FILENO) == 1, size);
    for (bool stopping = false;;) {
        const Poll p = json ? pollJson() : pollPlain();
        line.show(p);
        if (p.state >= QUARN_STATE_COMPLETE) {
            line.finish();
            return finalStatus(p.state, out, size);
        }
        if (stopping) { // stopDownload returned, so an end state must be there
            line.finish();
            return finalStatus(QUARN_STATE_STOPPED, out, size);
        }
        const timespec pause{0, 500'000'000};
        const int signal = sigtimedwait(&stopSignals, nullptr, &pause);
        if (signal == SIGINT || signal == SIGTERM) {
            stopDownload();
            stopping = true;
        }
    }
}

} // namespace quarn::cli
