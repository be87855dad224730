// Worker threads and their pacing.
#pragma once

#include "platform/wintypes.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

// The workers' fixed pause. Only Interrupt (a closing window) cuts a pause
// short; the interval is a seam so tests need not wait real half-seconds.
class CPacer {
public:
    explicit CPacer(std::chrono::milliseconds interval = std::chrono::milliseconds(500))
        : m_interval(interval) {}

    void SetInterval(std::chrono::milliseconds interval) { m_interval.store(interval); }

    // Waits one interval; returns early, and at once from then on, once interrupted.
    void Pause();
    void Interrupt();

private:
    std::atomic<std::chrono::milliseconds> m_interval;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_interrupted = false;
};

// Owns the threads started by a window, so none can outlive it.
class CWorkerThreads {
public:
    CWorkerThreads() = default;
    CWorkerThreads(const CWorkerThreads&) = delete;
    CWorkerThreads& operator=(const CWorkerThreads&) = delete;
    ~CWorkerThreads() { JoinAll(); }

    // Starts proc(param) at once, at the given priority (best effort here:
    // Linux gives ordinary threads no higher priority without privileges).
    // `owned` is kept alive until the thread has ended.
    void Start(AFX_THREADPROC proc, std::shared_ptr<void> owned, int priority);

    // Joins the threads that have already ended.
    void Reap();
    void JoinAll();
    std::size_t Running() const;

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Worker> m_workers;
};

} // namespace platform
