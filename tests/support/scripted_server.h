// A small HTTP server of our own for what nginx cannot be made to do: lie
// about lengths, send endless bodies, trickle its head, answer a Range with
// a page. Each connection carries one request, answered by the script.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quarn::test {

struct ScriptedRequest {
    std::string line;                           // "GET /path HTTP/1.1"
    std::map<std::string, std::string> headers; // names in lower case
    std::string header(const std::string& name) const;
};

class ScriptedServer;

// The open connection a script answers on.
class Reply {
public:
    // False once the client has gone or the server is shutting down.
    bool send(std::string_view bytes);
    // Waits, but returns early (false) when the server shuts down.
    bool pause(std::chrono::milliseconds how_long);

private:
    friend class ScriptedServer;
    Reply(ScriptedServer& server, int fd) : server_(server), fd_(fd) {}
    ScriptedServer& server_;
    int fd_;
};

class ScriptedServer {
public:
    using Script = std::function<void(const ScriptedRequest&, Reply&)>;

    explicit ScriptedServer(Script script);
    ~ScriptedServer(); // closes every connection and joins every thread
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    uint16_t port() const { return port_; }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }
    std::vector<ScriptedRequest> requests() const;

private:
    friend class Reply;
    void acceptLoop();
    void serve(int fd);

    Script script_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> closing_{false};
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<ScriptedRequest> requests_;
    std::vector<int> open_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

// A response head with the given status line and fields, ready to send.
std::string head(const std::string& status, const std::vector<std::string>& fields);

} // namespace quarn::test
