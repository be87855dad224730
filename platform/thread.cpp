#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>

namespace platform {

void CPacer::Pause() {
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, m_interval.load(), [this] { return m_interrupted; });
}

void CPacer::Interrupt() {
    {
        std::lock_guard lock(m_mutex);
        m_interrupted = true;
    }
    m_wake.notify_all();
}

namespace {

void RaisePriority(std::thread& thread, int priority) {
    if (priority <= 0) return;
    // Ordinary threads share one static priority under SCHED_OTHER; try the
    // highest the policy allows and accept the answer.
    sched_param param{};
    int policy = SCHED_OTHER;
    if (pthread_getschedparam(thread.native_handle(), &policy, &param) == 0) {
        param.sched_priority = sched_get_priority_max(policy);
        (void)pthread_setschedparam(thread.native_handle(), policy, &param);
    }
}

} // namespace

void CWorkerThreads::Start(AFX_THREADPROC proc, std::shared_ptr<void> owned, int priority) {
    Reap();
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([proc, owned = std::move(owned), done]() mutable {
        proc(owned.get());
        owned.reset();
        done->store(true);
    });
    RaisePriority(thread, priority);
    m_workers.push_back(Worker{std::move(thread), std::move(done)});
}

void CWorkerThreads::Reap() {
    auto finished = std::stable_partition(m_workers.begin(), m_workers.end(),
                                          [](const Worker& w) { return !w.done->load(); });
    for (auto it = finished; it != m_workers.end(); ++it) it->thread.join();
    m_workers.erase(finished, m_workers.end());
}

void CWorkerThreads::JoinAll() {
    for (auto& w : m_workers) w.thread.join();
    m_workers.clear();
}

std::size_t CWorkerThreads::Running() const {
    return static_cast<std::size_t>(std::count_if(m_workers.begin(), m_workers.end(),
                                                  [](const Worker& w) { return !w.done->load(); }));
}

} // namespace platform
