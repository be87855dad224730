// A scriptable stand-in for the engine: exports the same eight entry points,
// answers what a test scripted and records every call.
#pragma once

#include <quarn/quarn.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fakeengine {

struct Status {
    std::int32_t state = QUARN_STATE_PREPARING;
    std::int32_t speed = 0;
    std::int32_t remainTime = 0;
    std::int64_t received = 0;
    std::int64_t absSize = 0;
};

struct Call {
    std::string name;
    // Text arguments in order: UTF-16 ones decoded to UTF-8, 8-bit ones as
    // the bytes received.
    std::vector<std::string> texts;
    std::vector<std::u16string> wide; // the UTF-16 arguments exactly as received
    std::int64_t size = 0;            // the 64-bit argument, where there is one
    std::thread::id thread;
};

// Back to defaults: start 0, reply {"err":0}, preparing with zeros, status
// "{}", registrations answer 1, no calls recorded.
void Reset();

void SetStartResult(std::int32_t result);
// nullopt makes startDownloadJson answer NULL.
void SetStartReply(std::optional<std::u16string> reply);
// Answers for successive getDownloadState calls; the last one repeats.
void QueueStates(std::vector<Status> states);
// Answers for successive getDownloadStateJson calls; the last one repeats.
void QueueStatusJson(std::vector<std::optional<std::u16string>> statuses);
void SetShareResult(std::int32_t result);
// Runs inside each start call, before it answers (e.g. to press stop then).
void SetStartHook(std::function<void()> hook);
// Runs inside each stop call, before it returns (e.g. to make the stop slow).
void SetStopHook(std::function<void()> hook);

std::vector<Call> Calls();
std::vector<Call> CallsTo(const std::string& name);
std::size_t CountCalls(const std::string& name);
std::size_t CountCallsOnThread(const std::string& name, std::thread::id thread);

} // namespace fakeengine
