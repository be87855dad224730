// What one worker run shares with the window that started it.
#pragma once

#include "message.h"
#include "thread.h"
#include "transferinfo.h"
#include "wintypes.h"

#include <atomic>
#include <cstdint>
#include <memory>

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
    // Called once the engine has accepted the start. A stop pressed while
    // the start was under way found nothing to stop; apply it now, or the
    // transfer would run on unseen after the worker ends.
    void ApplyStopAfterStart() const;

    // A report for the window. With a record, the message carries its own
    // copy and lParam points at that copy, so the worker may go on writing
    // its record (or end) before the window reads it.
    void Post(UINT message, std::int32_t wParam, const TransferInfo* record) const;

private:
    CQuarnDemoDlg* m_dlg;
    std::uint32_t m_id;
    std::shared_ptr<std::atomic<bool>> m_stop;
    platform::CPacer& m_pacer;
};
