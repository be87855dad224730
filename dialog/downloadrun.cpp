#include "dialog/downloadrun.h"

#include "dialog/quarndemodlg.h"

#include <quarn/quarn.h>

// One engine, one current download: starts and stops are taken one at a time.
std::mutex& CDownloadRun::EngineLock() {
    static std::mutex lock;
    return lock;
}

void CDownloadRun::StopTransfer(std::atomic<bool>& stop) {
    std::lock_guard lock(EngineLock());
    stop.store(true);
    stopDownload();
}

void CDownloadRun::ApplyStopAfterStart() const {
    if (StopRequested()) stopDownload();
}

void CDownloadRun::Post(UINT message, std::int32_t wParam, const TransferInfo* record) const {
    std::any payload;
    LPARAM lParam = 0;
    if (record) {
        auto copy = std::make_shared<const TransferInfo>(*record);
        lParam = reinterpret_cast<LPARAM>(copy.get());
        payload = std::move(copy);
    }
    // Sign-extend through intptr_t so the handler reads the code back exactly.
    const auto w = static_cast<WPARAM>(static_cast<std::intptr_t>(wParam));
    platform::PostMessage(
        m_dlg, new platform::CPostedMessage(message, w, lParam, m_id, std::move(payload)));
}
