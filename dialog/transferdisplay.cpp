// The window's side of the workers' reports.
#include "dialog/quarndemodlg.h"
#include "dialog/texts.h"

#include <quarn/quarn.h>

namespace {
// Whole MiB, each division truncating toward zero.
int WholeMiB(std::int64_t bytes) {
    return static_cast<int>(bytes / 1024 / 1024);
}
} // namespace

// The bar moves only on transfer reports, and the last one may come a poll
// before the end: at completion it is filled. Without any transfer report in
// this run, the finished file's size gives the range.
void CQuarnDemoDlg::FillProgressBar(std::int64_t nFileSize) {
    if (!m_bBarRanged) {
        m_progress.SetRange32(0, WholeMiB(nFileSize));
        m_bBarRanged = true;
    }
    int lower = 0;
    int upper = 0;
    m_progress.GetRange(lower, upper);
    m_progress.SetPos(upper);
}

LRESULT CQuarnDemoDlg::OnTransferError(WPARAM wParam, LPARAM /*lParam*/) {
    const auto code = static_cast<std::int32_t>(static_cast<std::intptr_t>(wParam));
    if (code == 0) return 0;
    if (const auto text = texts::StartErrorText(code)) m_strState = *text;
    UpdateData(FALSE);
    OnStopDownload();
    return 0;
}

LRESULT CQuarnDemoDlg::OnTransferProgress(WPARAM wParam, LPARAM lParam) {
    const auto state = static_cast<std::int32_t>(static_cast<std::intptr_t>(wParam));
    const auto* info = reinterpret_cast<const TransferInfo*>(lParam);

    switch (state) {
    case QUARN_STATE_PREPARING:
    case QUARN_STATE_CONNECTING:
    case QUARN_STATE_RECEIVING:
        m_dSpeed = info->speed;
        m_nRemainTime = info->remain_time;
        m_nReceiveSize = info->receive_size;
        m_nFileSize = info->current_file_size;
        m_strState = *texts::StateText(state);
        if (state == QUARN_STATE_RECEIVING) {
            const int position = WholeMiB(m_nFileSize);
            const int upper = WholeMiB(info->filesize);
            m_progress.SetRange32(0, upper);
            m_progress.SetPos(position);
            m_bBarRanged = true;
        }
        break;
    case QUARN_STATE_COMPLETE:
    case QUARN_STATE_STOPPED: {
        // The record may be the last one of a finished worker: ask the engine.
        std::int32_t nSpeed = 0;
        std::int32_t nRemainTime = 0;
        std::int64_t nReceivedFileSize = 0;
        std::int64_t nAbsFilesize = 0;
        getDownloadState(&nSpeed, &nRemainTime, &nReceivedFileSize, &nAbsFilesize);
        m_dSpeed = static_cast<double>(nSpeed);
        m_nRemainTime = nRemainTime;
        m_nReceiveSize = nReceivedFileSize;
        m_nFileSize = nAbsFilesize;
        m_strState = *texts::StateText(state);
        if (state == QUARN_STATE_COMPLETE) FillProgressBar(nAbsFilesize);
        OnStopDownload();
        break;
    }
    case QUARN_STATE_WRITE_ERROR:
    case QUARN_STATE_SERVER_ERROR:
        m_dSpeed = info->speed;
        m_nRemainTime = info->remain_time;
        m_nReceiveSize = info->receive_size;
        m_strState = *texts::StateText(state);
        OnStopDownload();
        break;
    default: break;
    }
    UpdateData(FALSE);
    return 0;
}
