#include "tests/support/nginx_fixture.h"

#include "tests/support/files.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace quarn::test {
namespace fs = std::filesystem;

namespace {

std::string locationBlock(const NginxLocation& location, const fs::path& prefix, int number) {
    std::ostringstream block;
    block << "    location " << location.prefix << " {\n";
    if (!location.user.empty()) {
        // nginx understands the {PLAIN} scheme, so no hashing tool is needed.
        const fs::path users = prefix / ("htpasswd-" + std::to_string(number));
        writeFile(users, location.user + ":{PLAIN}" + location.password + "\n");
        block << "      auth_basic \"quarn\";\n      auth_basic_user_file " << users.string()
              << ";\n";
    }
    if (location.limitRate > 0) block << "      limit_rate " << location.limitRate << ";\n";
    if (location.ignoreRange) block << "      max_ranges 0;\n";
    if (!location.extra.empty()) block << "      " << location.extra << "\n";
    block << "    }\n";
    return block.str();
}

} // namespace

fs::path findNginx() {
    if (const char* path = std::getenv("PATH"); path != nullptr) {
        std::string_view dirs(path);
        while (!dirs.empty()) {
            const std::size_t colon = dirs.find(':');
            const fs::path candidate = fs::path(std::string(dirs.substr(0, colon))) / "nginx";
            if (!candidate.parent_path().empty() && ::access(candidate.c_str(), X_OK) == 0)
                return candidate;
            dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
        }
    }
    if (::access("/usr/sbin/nginx", X_OK) == 0) return "/usr/sbin/nginx";
    throw std::runtime_error("nginx is not installed (not on PATH, no /usr/sbin/nginx): "
                             "run scripts/install-deps.sh");
}

NginxServer::~NginxServer() {
    if (running()) kill();
    cleanup();
}

std::string NginxServer::endpoint() const {
    return "127.0.0.1:" + std::to_string(port_);
}

void NginxServer::start(const NginxOptions& options) {
    if (running()) throw std::runtime_error("nginx already started");
    const fs::path nginx = findNginx();
    cleanup();
    prefix_ = makeTempDir("quarn-nginx");
    if (options.root.empty()) {
        root_ = makeTempDir("quarn-www");
        ownRoot_ = true;
    } else {
        root_ = fs::absolute(options.root);
    }
    fs::create_directories(prefix_ / "logs");
    fs::create_directories(prefix_ / "tmp");

    // Another process may take the port between probing and binding: retry.
    std::string errors;
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = options.port != 0 ? options.port : freeLoopbackPort();
        plainPort_ = 0;
        while (options.tls.plainListener && (plainPort_ == 0 || plainPort_ == port_))
            plainPort_ = freeLoopbackPort();
        const bool tls = !options.tls.certificate.empty();
        const fs::path& p = prefix_;
        std::ostringstream conf;
        // Workers must read 0700 temporary directories when we run as root.
        if (::geteuid() == 0) conf << "user root;\n";
        conf << "worker_processes 1;\n"
             << "pid " << (p / "nginx.pid").string() << ";\n"
             << "error_log " << (p / "logs/error.log").string() << " warn;\n"
             << "events { worker_connections " << options.workerConnections << "; }\n"
             << "http {\n"
             << "  default_type application/octet-stream;\n"
             << "  types { application/metalink4+xml meta4; }\n"
             << "  sendfile on;\n"
             << "  client_body_temp_path " << (p / "tmp/body").string() << ";\n"
             << "  proxy_temp_path " << (p / "tmp/proxy").string() << ";\n"
             << "  fastcgi_temp_path " << (p / "tmp/fastcgi").string() << ";\n"
             << "  uwsgi_temp_path " << (p / "tmp/uwsgi").string() << ";\n"
             << "  scgi_temp_path " << (p / "tmp/scgi").string() << ";\n"
             << "  log_format quarn '$status \"$request\" range=\"$http_range\" "
                "user=\"$remote_user\" index=\"$http_index\" hash=\"$http_hash\" "
                "sent=$body_bytes_sent scheme=$scheme';\n"
             << "  " << options.httpExtra << "\n"
             << "  server {\n"
             << "    listen 127.0.0.1:" << port_ << (tls ? " ssl" : "") << ";\n";
        if (tls)
            conf << "    ssl_certificate " << fs::absolute(options.tls.certificate).string()
                 << ";\n"
                 << "    ssl_certificate_key " << fs::absolute(options.tls.key).string() << ";\n";
        if (plainPort_ != 0)
            conf << "    listen 127.0.0.1:" << plainPort_ << ";\n"
                 << "    set $plain_port " << plainPort_ << ";\n";
        conf << "    root " << root_.string() << ";\n"
             << "    access_log " << (p / "logs/access.log").string() << " quarn;\n";
        if (options.limitRate > 0) conf << "    limit_rate " << options.limitRate << ";\n";
        int number = 0;
        for (const NginxLocation& location : options.locations)
            conf << locationBlock(location, p, number++);
        conf << "  }\n}\n";
        writeFile(p / "nginx.conf", conf.str());

        const std::string binary = nginx.string(), prefixArg = p.string() + "/",
                          confArg = (p / "nginx.conf").string(),
                          errorArg = (p / "logs/error.log").string();
        const char* argv[] = {binary.c_str(),  "-p",   prefixArg.c_str(), "-c",
                              confArg.c_str(), "-e",   errorArg.c_str(),  "-g",
                              "daemon off;",   nullptr};
        // Own process group, so kill() reaches the workers as well.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, binary.c_str(), nullptr, &attr,
                                   const_cast<char* const*>(argv), environ);
        posix_spawnattr_destroy(&attr);
        if (rc != 0) throw std::runtime_error("cannot run " + binary + ": " + std::strerror(rc));
        master_ = pid;

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (acceptsConnections(port_) && (plainPort_ == 0 || acceptsConnections(plainPort_)))
                return;
            int status = 0;
            if (::waitpid(master_, &status, WNOHANG) == master_) {
                master_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5)); // polling, with a deadline
        }
        errors = readFile(p / "logs/error.log");
        if (running()) kill();
        if (errors.find("Address already in use") == std::string::npos) break;
    }
    throw std::runtime_error("nginx did not start:\n" + errors);
}

void NginxServer::stop() {
    if (!running()) return;
    ::kill(master_, SIGTERM); // fast shutdown; the master waits for its workers
    int status = 0;
    ::waitpid(master_, &status, 0);
    ::kill(-master_, SIGKILL); // stragglers of the group, if any
    master_ = -1;
}

void NginxServer::kill() {
    if (!running()) return;
    ::kill(-master_, SIGKILL);
    int status = 0;
    ::waitpid(master_, &status, 0);
    master_ = -1;
}

std::string NginxServer::accessLog() const {
    return prefix_.empty() ? std::string() : readFile(prefix_ / "logs/access.log");
}

void NginxServer::cleanup() {
    std::error_code ignored;
    if (!prefix_.empty()) fs::remove_all(prefix_, ignored);
    if (ownRoot_ && !root_.empty()) fs::remove_all(root_, ignored);
    prefix_.clear();
    ownRoot_ = false;
}

} // namespace quarn::test
