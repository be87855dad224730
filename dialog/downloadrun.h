// What one worker run shares with the window that started it.
#pragma once

#include "dialog/transferinfo.h"
#include "platform/message.h"
#include "platform/thread.h"
#include "platform/wintypes.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class CQuarnDemoDlg;

class CDownloadRun {
public:
    CDownloadRun(CQuarnDemoDlg* dlg, std::uint32_t id, std::shared_ptr<std::atomic<bool>> stop,
                 platform::CPacer& pacer)
        : m_dlg(dlg), m_id(id), m_stop(std::move(stop)), m_pacer(pacer) {}

    CQuarnDemoDlg& Dialog() const { return *m_dlg; }
    std::uint32_t Id() const { return m_id; }
    bool StopRequested() const { return m_stop->load(); }
    void Pause() const { m_pacer.Pause(); }
    // Runs `start` (an engine start; answers its code) one run at a time. A
    // stop pressed while the start was under way found nothing to stop, so
    // it is applied to what the start began, before the next run may start:
    // the transfer never runs on unseen, and an earlier run's start never
    // makes a later one fail as busy.
    template <class Start> std::int32_t StartTransfer(Start&& start) const {
        std::lock_guard lock(EngineLock());
        const std::int32_t result = start();
        if (result >= 0) ApplyStopAfterStart();
        return result;
    }
    // The run's last poll, once its flag is up: it waits for a stop under
    // way (StopTransfer), so it reports the transfer ended, not the state
    // of the moment the stop was pressed, however long the engine takes.
    template <class Poll> std::int32_t PollAfterStop(Poll&& poll) const {
        std::lock_guard lock(EngineLock());
        return poll();
    }
    // Raises a run's stop flag, then stops the engine, one at a time with
    // the starts and the last polls above.
    static void StopTransfer(std::atomic<bool>& stop);

    // A report for the window. With a record, the message carries its own
    // copy and lParam points at that copy, so the worker may go on writing
    // its record (or end) before the window reads it.
    void Post(UINT message, std::int32_t wParam, const TransferInfo* record) const;

private:
    static std::mutex& EngineLock();
    void ApplyStopAfterStart() const;

    CQuarnDemoDlg* m_dlg;
    std::uint32_t m_id;
    std::shared_ptr<std::atomic<bool>> m_stop;
    platform::CPacer& m_pacer;
};
