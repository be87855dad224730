#include "tests/support/sockets.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace quarn::test {

namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A bound socket (SO_REUSEADDR: what an earlier test left in TIME-WAIT does
// not count), or -1 with errno set.
int boundSocket(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = loopback(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

uint16_t boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

} // namespace

LoopbackClient::LoopbackClient(uint16_t port, const ClientOptions& options)
    : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (fd_ < 0) return;
    if (options.receiveBuffer > 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer,
                     sizeof options.receiveBuffer);
    if (options.source != nullptr) {
        sockaddr_in from = loopback(0);
        if (::inet_pton(AF_INET, options.source, &from.sin_addr) != 1 ||
            ::bind(fd_, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0)
            return;
    }
    const sockaddr_in address = loopback(port);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

LoopbackClient::~LoopbackClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool LoopbackClient::send(const std::string& text) {
    return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

bool LoopbackClient::closedByPeer() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            received_.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
}

std::size_t LoopbackClient::receiveSome(std::size_t most) {
    char buffer[4096];
    std::size_t got = 0;
    while (got < most) {
        const ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, most - got), MSG_DONTWAIT);
        if (n <= 0) break;
        received_.append(buffer, static_cast<std::size_t>(n));
        got += static_cast<std::size_t>(n);
    }
    return got;
}

LoopbackListener::LoopbackListener(uint16_t port) : fd_(boundSocket(port)) {
    if (fd_ < 0 || ::listen(fd_, 16) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                                 std::strerror(errno));
    port_ = boundPort(fd_);
}

LoopbackListener::~LoopbackListener() {
    ::close(fd_);
}

bool LoopbackListener::acceptOne() {
    const int accepted = ::accept(fd_, nullptr, nullptr);
    if (accepted < 0) return false;
    ::close(accepted);
    return true;
}

uint16_t freeLoopbackPort() {
    const int fd = boundSocket(0);
    if (fd < 0) throw std::runtime_error("cannot bind a loopback port");
    const uint16_t port = boundPort(fd);
    ::close(fd);
    return port;
}

bool acceptsConnections(uint16_t port) {
    return LoopbackClient(port).connected();
}

int bindError(uint16_t port) {
    const int fd = boundSocket(port);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

} // namespace quarn::test
