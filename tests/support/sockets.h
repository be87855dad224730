// Loopback sockets for the suites: a client that watches what the peer
// sends and whether it closed, a listener that takes a port (and holds it
// from someone else), and the questions asked of ports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quarn::test {

struct ClientOptions {
    const char* source = nullptr; // a loopback address to connect from, e.g. "127.0.0.2"
    int receiveBuffer = 0;        // SO_RCVBUF, set before connecting; 0: the system's
};

// A connection to 127.0.0.1:port.
class LoopbackClient {
public:
    explicit LoopbackClient(uint16_t port, const ClientOptions& options = {});
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool connected() const { return connected_; }
    bool send(const std::string& text);
    // Whether the peer has closed its side (reading what is left first).
    bool closedByPeer();
    // Reads what has arrived, up to `most` bytes, without waiting; how many.
    std::size_t receiveSome(std::size_t most);
    const std::string& received() const { return received_; }

private:
    int fd_;
    bool connected_ = false;
    std::string received_;
};

// A listening socket on 127.0.0.1:port (0: a free one), bound as nginx binds
// (SO_REUSEADDR). It never accepts unless asked. Throws when it cannot bind.
class LoopbackListener {
public:
    explicit LoopbackListener(uint16_t port = 0);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    uint16_t port() const { return port_; }
    // One waiting connection, closed at once; false if none could be taken.
    bool acceptOne();

private:
    int fd_;
    uint16_t port_ = 0;
};

// A loopback port nothing listens on right now.
uint16_t freeLoopbackPort();
// Whether something accepts connections on 127.0.0.1:port.
bool acceptsConnections(uint16_t port);
// 0 when 127.0.0.1:port can be bound as nginx binds it, else the errno.
int bindError(uint16_t port);

} // namespace quarn::test
