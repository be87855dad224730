// A peer's share server of our own, for what a real one will not do: serve
// other bytes than the file's, crawl, or send quickly and then trickle.
#pragma once

#include "tests/support/scripted_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

namespace quarn::test {

struct PeerBehaviour {
    std::string content;        // what it serves as the file
    int64_t bytesPerSecond = 0; // 0: as fast as it can
    int64_t trickleAfter = -1;  // after this many body bytes in all, one byte per pause
    std::chrono::milliseconds tricklePause{5000};
};

class RangePeer {
public:
    explicit RangePeer(PeerBehaviour b)
        : behaviour_(std::move(b)),
          server_([this](const ScriptedRequest& r, Reply& reply) { answer(r, reply); }) {}

    std::string endpoint() const { return server_.endpoint(); }
    int64_t sent() const { return sent_.load(); }
    std::size_t gets() const {
        const auto all = server_.requests();
        return static_cast<std::size_t>(
            std::count_if(all.begin(), all.end(),
                          [](const ScriptedRequest& r) { return r.line.rfind("GET ", 0) == 0; }));
    }
    const ScriptedServer& server() const { return server_; }

private:
    void answer(const ScriptedRequest& r, Reply& reply) {
        const auto size = static_cast<int64_t>(behaviour_.content.size());
        if (r.line.rfind("HEAD ", 0) == 0) {
            reply.send(head("200 OK", {"Content-Length: " + std::to_string(size)}));
            return;
        }
        int64_t first = 0, last = size - 1;
        std::sscanf(r.header("range").c_str(), "bytes=%" SCNd64 "-%" SCNd64, &first, &last);
        last = std::min(last, size - 1);
        if (!reply.send(head("206 Partial Content",
                             {"Content-Range: bytes " + std::to_string(first) + "-" +
                                  std::to_string(last) + "/" + std::to_string(size),
                              "Content-Length: " + std::to_string(last - first + 1)})))
            return;
        const std::string_view body = std::string_view(behaviour_.content)
                                          .substr(static_cast<std::size_t>(first),
                                                  static_cast<std::size_t>(last - first + 1));
        // 10 sends a second when crawling; one byte per pause when trickling.
        for (std::size_t at = 0; at < body.size();) {
            const bool trickling = behaviour_.trickleAfter >= 0 && sent_ >= behaviour_.trickleAfter;
            std::size_t n = body.size() - at;
            if (trickling)
                n = 1;
            else if (behaviour_.bytesPerSecond > 0)
                n = std::min<std::size_t>(n,
                                          static_cast<std::size_t>(behaviour_.bytesPerSecond / 10));
            else if (behaviour_.trickleAfter >= 0)
                n = std::min<std::size_t>(n, static_cast<std::size_t>(std::max<int64_t>(
                                                 1, behaviour_.trickleAfter - sent_)));
            if (!reply.send(body.substr(at, n))) return;
            sent_ += static_cast<int64_t>(n);
            at += n;
            if (trickling && !reply.pause(behaviour_.tricklePause)) return;
            if (!trickling && behaviour_.bytesPerSecond > 0 &&
                !reply.pause(std::chrono::milliseconds(100)))
                return;
        }
    }

    PeerBehaviour behaviour_;
    std::atomic<int64_t> sent_{0};
    ScriptedServer server_;
};

} // namespace quarn::test
