// The download started with a JSON request and followed through JSON statuses.
#include "dialog/downloadrun.h"
#include "dialog/jsoncodec.h"
#include "dialog/quarndemodlg.h"
#include "dialog/samplerequest.h"

#include <quarn/quarn.h>

#include <memory>

bool CQuarnDemoDlg::BuildJsonRequest(char16_t* pBuffer) {
    return jsoncodec::CopyToBuffer(ToWideString(jsoncodec::BuildRequestText(sample::kServer)),
                                   pBuffer, jsoncodec::kRequestBufferUnits);
}

std::int32_t CQuarnDemoDlg::ParseStartReply(const char16_t* pReply) {
    Json::Value root = jsoncodec::ParseEngineText(pReply);
    return jsoncodec::ReadInt(root, "err");
}

std::int32_t CQuarnDemoDlg::PollJsonStatus(TransferInfo* pInfo) {
    Json::Value root = jsoncodec::ParseEngineText(getDownloadStateJson());
    // Speed passes through a 32-bit integer: its fraction is dropped.
    pInfo->speed = static_cast<double>(jsoncodec::ReadInt(root, "speed"));
    pInfo->remain_time = jsoncodec::ReadInt(root, "remain_time");
    pInfo->current_file_size = jsoncodec::ReadInt64(root, "current_file_size");
    pInfo->receive_size = jsoncodec::ReadInt64(root, "receive_size");
    pInfo->filesize = jsoncodec::ReadInt64(root, "filesize");
    return jsoncodec::ReadInt(root, "state");
}

UINT JsonDownloadWorker(LPVOID pParam) {
    const CDownloadRun& run = *static_cast<CDownloadRun*>(pParam);
    CQuarnDemoDlg& dlg = run.Dialog();
    auto info = std::make_unique<TransferInfo>();
    // The request buffer belongs to the run and goes with it.
    auto buffer = std::make_unique<char16_t[]>(jsoncodec::kRequestBufferUnits);

    if (run.StopRequested()) return 0;
    if (!dlg.BuildJsonRequest(buffer.get())) return 0;

    const std::int32_t err =
        run.StartTransfer([&] { return dlg.ParseStartReply(startDownloadJson(buffer.get())); });
    if (err < 0) {
        run.Post(WM_TRANSFER_ERROR, err, nullptr);
        run.Pause();
        return 0;
    }

    while (!run.StopRequested()) {
        const std::int32_t state = dlg.PollJsonStatus(info.get());
        run.Post(WM_TRANSFER_PROGRESS, state, info.get());
        run.Pause();
    }

    // One last report after the stop, with what this poll answered.
    run.Pause();
    const std::int32_t last = run.PollAfterStop([&] { return dlg.PollJsonStatus(info.get()); });
    run.Post(WM_TRANSFER_PROGRESS, last, info.get());
    return 0;
}
