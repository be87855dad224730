// The download started with the request as ten separate arguments.
#include "dialog/downloadrun.h"
#include "dialog/quarndemodlg.h"
#include "dialog/samplerequest.h"

#include <quarn/quarn.h>

#include <memory>

BOOL CQuarnDemoDlg::FillTransferInfo(TransferInfo& info) {
    info.site = sample::kSite;
    info.server = sample::kServer;
    info.serverfilename = sample::kServerFileName;
    info.index = sample::kParamIndex;
    info.hash = sample::kHash;
    info.filesize = sample::kFileSize;
    info.localfilename = sample::kParamLocalFileName;
    info.user_name = sample::kUserName;
    info.user_pwd = sample::kUserPwd;
    info.user_params = sample::kUserParams;
    info.remain_time = 0;
    info.speed = 0.0;
    info.state = QUARN_STATE_PREPARING;
    info.receive_size = 0;
    return TRUE;
}

namespace {

// One poll into the record's four status fields; answers the state.
std::int32_t Poll(std::int32_t& nSpeed, std::int32_t& nRemainTime, std::int64_t& nReceivedFileSize,
                  std::int64_t& nAbsFilesize) {
    return getDownloadState(&nSpeed, &nRemainTime, &nReceivedFileSize, &nAbsFilesize);
}

std::int32_t Start(const TransferInfo& info) {
    using platform::MultiByteToWide;
    const std::u16string site = MultiByteToWide(info.site.Bytes());
    const std::u16string server = MultiByteToWide(info.server.Bytes());
    const std::u16string serverfilename = MultiByteToWide(info.serverfilename.Bytes());
    const std::u16string index = MultiByteToWide(info.index.Bytes());
    const std::u16string localfilename = MultiByteToWide(info.localfilename.Bytes());
    const std::u16string hash = MultiByteToWide(info.hash.Bytes());
    const std::u16string user_name = MultiByteToWide(info.user_name.Bytes());
    const std::u16string user_pwd = MultiByteToWide(info.user_pwd.Bytes());
    const std::u16string user_params = MultiByteToWide(info.user_params.Bytes());
    return startDownload(site.c_str(), server.c_str(), serverfilename.c_str(), index.c_str(),
                         localfilename.c_str(), hash.c_str(), info.filesize, user_name.c_str(),
                         user_pwd.c_str(), user_params.c_str());
}

} // namespace

UINT ParamDownloadWorker(LPVOID pParam) {
    const CDownloadRun& run = *static_cast<CDownloadRun*>(pParam);
    auto dfDownFile = std::make_unique<TransferInfo>();

    if (run.StopRequested()) return 0;
    if (!run.Dialog().FillTransferInfo(*dfDownFile)) return 0;

    const std::int32_t result = run.StartTransfer([&] { return Start(*dfDownFile); });
    if (result < 0) {
        run.Post(WM_TRANSFER_ERROR, result, dfDownFile.get());
        run.Pause();
        return 0;
    }

    std::int32_t nSpeed = 0;
    std::int32_t nRemainTime = 0;
    std::int64_t nReceivedFileSize = 0;
    std::int64_t nAbsFilesize = 0;
    while (!run.StopRequested()) {
        const std::int32_t state = Poll(nSpeed, nRemainTime, nReceivedFileSize, nAbsFilesize);
        dfDownFile->state = state;
        dfDownFile->speed = static_cast<double>(nSpeed);
        dfDownFile->remain_time = nRemainTime;
        dfDownFile->receive_size = nReceivedFileSize;
        dfDownFile->current_file_size = nAbsFilesize;
        run.Post(WM_TRANSFER_PROGRESS, state, dfDownFile.get());
        run.Pause();
    }

    // One last report after the stop; the record keeps the last pass's values.
    run.Pause();
    const std::int32_t last = run.PollAfterStop(
        [&] { return Poll(nSpeed, nRemainTime, nReceivedFileSize, nAbsFilesize); });
    run.Post(WM_TRANSFER_PROGRESS, last, dfDownFile.get());
    return 0;
}
