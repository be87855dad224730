// The eight exported entry points. Each one converts its arguments, asks the
// engine and converts the answer; no exception ever crosses the C boundary.
#include <quarn/quarn.h>

#include "libquarn/digest.h"
#include "libquarn/engine.h"
#include "libquarn/requests.h"
#include "libquarn/status_text.h"
#include "libquarn/text.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <unistd.h>

using quarn::engine::Engine;

namespace {

Engine* g_engine = nullptr; // set once, before stopAtExit is registered
pid_t g_engineOwner = 0;

// The one stop at exit, in a safe order: the download first (its .part
// stays resumable), then sharing (the server, then the describer).
void stopAtExit() noexcept {
    // A forked child that exits has the engine's memory but not its threads.
    if (g_engineOwner != ::getpid()) return;
    try {
        g_engine->stop();
    } catch (...) {
        // Exiting anyway.
    }
    g_engine->shares().stop();
}

// OpenSSL registers an exit handler of its own when it is first used: used
// once before ours is registered, its handler runs after ours (exit handlers
// run last first), when no thread of ours hashes any more.
void setUpHashingFirst() noexcept {
    try {
        static_cast<void>(quarn::engine::sha256(""));
    } catch (...) {
        // No hashing to be had: nothing to put in order.
    }
}

// Created on first use and never destroyed: entry points may still be
// called from other threads while the process exits. Its threads are
// stopped by stopAtExit instead.
Engine& engine() {
    static Engine* const instance = [] {
        setUpHashingFirst();
        g_engine = new Engine();
        g_engineOwner = ::getpid();
        std::atexit(stopAtExit);
        return g_engine;
    }();
    return *instance;
}

// Returned texts live in per-thread, per-entry-point buffers: valid until the
// same thread calls the same entry point again, and never freed by callers.
constexpr std::size_t kReplyUnits = 32;
thread_local char16_t t_startReply[kReplyUnits];
thread_local char16_t t_statusJson[quarn::engine::kStatusJsonUnits];

int32_t startRequest(const std::optional<quarn::engine::DownloadRequest>& request) {
    if (!request) return QUARN_ERR_PARAMETER;
    return engine().start(*request);
}

// A poll must answer even when the engine cannot be created (out of memory
// at first use): it then reports what a poll before any download reports.
quarn::engine::StatusSnapshot currentStatus() noexcept {
    try {
        return engine().status();
    } catch (...) {
        return {};
    }
}

} // namespace

extern "C" {

QUARN_API int32_t setShareFile(const char16_t* json) try {
    if (json == nullptr) return 0;
    const auto share = quarn::engine::parseShareJson(std::u16string_view(json));
    return share && engine().shares().add(*share) ? 1 : 0;
} catch (...) {
    return 0;
}

QUARN_API int32_t setShareFile2(const char16_t* sitename, const char16_t* hash,
                                const char16_t* localfilename, int64_t size) try {
    const auto site = quarn::engine::utf16ToUtf8(sitename);
    const auto digest = quarn::engine::utf16ToUtf8(hash);
    const auto path = quarn::engine::utf16ToUtf8(localfilename);
    if (!site || !digest || !path) return 0;
    return engine().shares().add({*site, *digest, *path, size}) ? 1 : 0;
} catch (...) {
    return 0;
}

QUARN_API int32_t setShareFile3(const char* sitename, const char* localfilename, const char* hash,
                                int64_t size) try {
    const auto site = quarn::engine::cp949ToUtf8(sitename);
    const auto path = quarn::engine::cp949ToUtf8(localfilename);
    const auto digest = quarn::engine::cp949ToUtf8(hash);
    if (!site || !digest || !path) return 0;
    return engine().shares().add({*site, *digest, *path, size}) ? 1 : 0;
} catch (...) {
    return 0;
}

QUARN_API int32_t startDownload(const char16_t* site, const char16_t* server,
                                const char16_t* serverfilename, const char16_t* index,
                                const char16_t* localfilename, const char16_t* hash,
                                int64_t filesize, const char16_t* user_name,
                                const char16_t* user_pwd, const char16_t* user_params) try {
    return startRequest(quarn::engine::downloadRequestFromUtf16(site, server, serverfilename, index,
                                                                localfilename, hash, filesize,
                                                                user_name, user_pwd, user_params));
} catch (...) {
    return QUARN_ERR_OPERATION;
}

QUARN_API const char16_t* startDownloadJson(const char16_t* request) {
    int32_t err = QUARN_ERR_PARAMETER;
    try {
        if (request != nullptr)
            err =
                startRequest(quarn::engine::parseDownloadRequestJson(std::u16string_view(request)));
    } catch (...) {
        err = QUARN_ERR_OPERATION;
    }
    char text[kReplyUnits];
    const int n = std::snprintf(text, sizeof text, "{\"err\":%" PRId32 "}", err);
    quarn::engine::asciiToUtf16(std::string_view(text, static_cast<std::size_t>(n)), t_startReply,
                                kReplyUnits);
    return t_startReply;
}

QUARN_API int32_t getDownloadState(int32_t* nSpeed, int32_t* nRemainTime,
                                   int64_t* nReceivedFileSize, int64_t* nAbsFilesize) {
    const quarn::engine::StatusSnapshot s = currentStatus();
    if (nSpeed != nullptr) *nSpeed = s.speedKiB;
    if (nRemainTime != nullptr) *nRemainTime = s.remainSec;
    if (nReceivedFileSize != nullptr) *nReceivedFileSize = s.received;
    if (nAbsFilesize != nullptr) *nAbsFilesize = s.fileBytes;
    return s.state;
}

QUARN_API const char16_t* getDownloadStateJson(void) {
    char text[quarn::engine::kStatusJsonUnits];
    const std::size_t n = quarn::engine::formatStatusJson(currentStatus(), text, sizeof text);
    quarn::engine::asciiToUtf16(std::string_view(text, n), t_statusJson,
                                quarn::engine::kStatusJsonUnits);
    return t_statusJson;
}

QUARN_API int32_t stopDownload(void) try {
    engine().stop();
    return 0;
} catch (...) {
    return 0;
}

} // extern "C"
