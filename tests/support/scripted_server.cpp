#include "tests/support/scripted_server.h"

#include <arpa/inet.h>
#include <cctype>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace quarn::test {

std::string ScriptedRequest::header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

bool Reply::send(std::string_view bytes) {
    while (!bytes.empty()) {
        if (server_.closing_.load()) return false;
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool Reply::pause(std::chrono::milliseconds how_long) {
    std::unique_lock lock(server_.mutex_);
    return !server_.wake_.wait_for(lock, how_long, [&] { return server_.closing_.load(); });
}

ScriptedServer::ScriptedServer(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        throw std::runtime_error("scripted server: cannot listen on loopback");
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread(&ScriptedServer::acceptLoop, this);
}

ScriptedServer::~ScriptedServer() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
    }
    wake_.notify_all();
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    for (std::thread& t : workers_) t.join();
    ::close(listener_);
}

std::vector<ScriptedRequest> ScriptedServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedServer::acceptLoop() {
    while (!closing_.load()) {
        pollfd pfd{listener_, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0) continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard lock(mutex_);
        if (closing_.load()) {
            ::close(fd);
            break;
        }
        open_.push_back(fd);
        workers_.emplace_back(&ScriptedServer::serve, this, fd);
    }
}

void ScriptedServer::serve(int fd) {
    std::string text;
    char buffer[4096];
    while (text.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t end = text.find("\r\n\r\n");
    if (end != std::string::npos) {
        ScriptedRequest request;
        std::size_t at = text.find("\r\n");
        request.line = text.substr(0, at);
        while (at < end) {
            const std::size_t next = text.find("\r\n", at + 2);
            const std::string field = text.substr(at + 2, next - at - 2);
            const std::size_t colon = field.find(':');
            if (colon != std::string::npos) {
                std::string name = field.substr(0, colon);
                for (char& c : name)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                const std::size_t value = field.find_first_not_of(' ', colon + 1);
                request.headers[name] = value == std::string::npos ? "" : field.substr(value);
            }
            at = next;
        }
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        Reply reply(*this, fd);
        script_(request, reply);
    }
    std::lock_guard lock(mutex_);
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    std::erase(open_, fd);
}

std::string head(const std::string& status, const std::vector<std::string>& fields) {
    std::string text = "HTTP/1.1 " + status + "\r\n";
    for (const std::string& field : fields) text += field + "\r\n";
    return text + "Connection: close\r\n\r\n";
}

} // namespace quarn::test
