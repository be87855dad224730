#include "tests/fakeengine/fakeengine.h"

#include "tests/support/text.h"

#include <quarn/quarn.h>

#include <algorithm>
#include <deque>
#include <mutex>

namespace fakeengine {

namespace {

struct Script {
    std::int32_t startResult = 0;
    std::optional<std::u16string> startReply = u"{\"err\":0}";
    std::deque<Status> states{Status{}};
    std::deque<std::optional<std::u16string>> statuses{std::u16string(u"{}")};
    std::int32_t shareResult = 1;
    std::function<void()> startHook;
    std::function<void()> stopHook;
    std::vector<Call> calls;
};

std::mutex g_mutex;
Script g_script;

// Returned texts live here, per thread, as the engine's own would.
thread_local std::u16string t_startReply;
thread_local std::u16string t_status;

// Outside the lock: a hook may wait for other threads' calls.
void RunHook(std::function<void()> Script::*which) {
    std::function<void()> hook;
    {
        std::lock_guard lock(g_mutex);
        hook = g_script.*which;
    }
    if (hook) hook();
}

template <class T> T Next(std::deque<T>& queue) {
    T value = queue.front();
    if (queue.size() > 1) queue.pop_front();
    return value;
}

std::u16string Wide(const char16_t* s) {
    return s ? std::u16string(s) : std::u16string();
}

void Record(Call call) {
    call.thread = std::this_thread::get_id();
    g_script.calls.push_back(std::move(call));
}

Call WideCall(const char* name, std::initializer_list<const char16_t*> args,
              std::int64_t size = 0) {
    Call call;
    call.name = name;
    for (const char16_t* a : args) {
        call.wide.push_back(Wide(a));
        call.texts.push_back(quarn::test::utf8(call.wide.back()));
    }
    call.size = size;
    return call;
}

} // namespace

void Reset() {
    std::lock_guard lock(g_mutex);
    g_script = Script{};
}

void SetStartResult(std::int32_t result) {
    std::lock_guard lock(g_mutex);
    g_script.startResult = result;
}

void SetStartReply(std::optional<std::u16string> reply) {
    std::lock_guard lock(g_mutex);
    g_script.startReply = std::move(reply);
}

void QueueStates(std::vector<Status> states) {
    std::lock_guard lock(g_mutex);
    g_script.states.assign(states.begin(), states.end());
    if (g_script.states.empty()) g_script.states.push_back(Status{});
}

void QueueStatusJson(std::vector<std::optional<std::u16string>> statuses) {
    std::lock_guard lock(g_mutex);
    g_script.statuses.assign(statuses.begin(), statuses.end());
    if (g_script.statuses.empty()) g_script.statuses.push_back(std::u16string(u"{}"));
}

void SetShareResult(std::int32_t result) {
    std::lock_guard lock(g_mutex);
    g_script.shareResult = result;
}

void SetStartHook(std::function<void()> hook) {
    std::lock_guard lock(g_mutex);
    g_script.startHook = std::move(hook);
}

void SetStopHook(std::function<void()> hook) {
    std::lock_guard lock(g_mutex);
    g_script.stopHook = std::move(hook);
}

std::size_t CountCallsOnThread(const std::string& name, std::thread::id thread) {
    std::size_t n = 0;
    for (const Call& c : CallsTo(name)) n += c.thread == thread ? 1 : 0;
    return n;
}

std::vector<Call> Calls() {
    std::lock_guard lock(g_mutex);
    return g_script.calls;
}

std::vector<Call> CallsTo(const std::string& name) {
    std::vector<Call> out;
    for (Call& c : Calls())
        if (c.name == name) out.push_back(std::move(c));
    return out;
}

std::size_t CountCalls(const std::string& name) {
    return CallsTo(name).size();
}

} // namespace fakeengine

using namespace fakeengine;

extern "C" {

int32_t setShareFile(const char16_t* json) {
    std::lock_guard lock(g_mutex);
    Record(WideCall("setShareFile", {json}));
    return g_script.shareResult;
}

int32_t setShareFile2(const char16_t* sitename, const char16_t* hash, const char16_t* localfilename,
                      int64_t size) {
    std::lock_guard lock(g_mutex);
    Record(WideCall("setShareFile2", {sitename, hash, localfilename}, size));
    return g_script.shareResult;
}

int32_t setShareFile3(const char* sitename, const char* localfilename, const char* hash,
                      int64_t size) {
    std::lock_guard lock(g_mutex);
    Call call;
    call.name = "setShareFile3";
    for (const char* a : {sitename, localfilename, hash}) call.texts.emplace_back(a ? a : "");
    call.size = size;
    Record(std::move(call));
    return g_script.shareResult;
}

int32_t startDownload(const char16_t* site, const char16_t* server, const char16_t* serverfilename,
                      const char16_t* index, const char16_t* localfilename, const char16_t* hash,
                      int64_t filesize, const char16_t* user_name, const char16_t* user_pwd,
                      const char16_t* user_params) {
    RunHook(&Script::startHook);
    std::lock_guard lock(g_mutex);
    Record(WideCall("startDownload",
                    {site, server, serverfilename, index, localfilename, hash, user_name, user_pwd,
                     user_params},
                    filesize));
    return g_script.startResult;
}

const char16_t* startDownloadJson(const char16_t* request) {
    RunHook(&Script::startHook);
    std::lock_guard lock(g_mutex);
    Record(WideCall("startDownloadJson", {request}));
    if (!g_script.startReply) return nullptr;
    t_startReply = *g_script.startReply;
    return t_startReply.c_str();
}

int32_t getDownloadState(int32_t* nSpeed, int32_t* nRemainTime, int64_t* nReceivedFileSize,
                         int64_t* nAbsFilesize) {
    std::lock_guard lock(g_mutex);
    Record(WideCall("getDownloadState", {}));
    const Status s = Next(g_script.states);
    if (nSpeed) *nSpeed = s.speed;
    if (nRemainTime) *nRemainTime = s.remainTime;
    if (nReceivedFileSize) *nReceivedFileSize = s.received;
    if (nAbsFilesize) *nAbsFilesize = s.absSize;
    return s.state;
}

const char16_t* getDownloadStateJson(void) {
    std::lock_guard lock(g_mutex);
    Record(WideCall("getDownloadStateJson", {}));
    const auto status = Next(g_script.statuses);
    if (!status) return nullptr;
    t_status = *status;
    return t_status.c_str();
}

int32_t stopDownload(void) {
    {
        std::lock_guard lock(g_mutex);
        Record(WideCall("stopDownload", {}));
    }
    RunHook(&Script::stopHook);
    return 0;
}

} // extern "C"
